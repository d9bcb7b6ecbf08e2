// A table's records read by the pattern of one before them. A program that
// writes a table with one format ("%25.16E" three times, say) writes records
// that are alike byte for byte but for their digits, the signs of their
// values and the signs of their exponents; one that writes values without an
// exponent in fields of a width ("%11.6f", "%11d") also varies the blanks
// that pad a field before its value. Once the one-pass read has taken
// such a record, its pattern says what every byte must be: a digit (any
// digit), the very byte it was, or at a sign's place one of two bytes (a
// value's minus sign or the blank before an unsigned value; an exponent's
// plus or minus), or a padded place: the places of a value without an
// exponent before its last digit ahead of the point, from the blank after the
// value before it (or the separator, or the record's start), which hold
// blanks, then perhaps a minus, then digits. A later record that fits the pattern splits into the same
// values at the same places, each of them a number of the same form, as the
// scanner found them in the pattern's record: which digits a value has, and
// which sign, change neither where it ends nor whether it is a number. So
// the record is checked whole, sixteen bytes a step, and the kept values are
// converted from the places of their parts by the one converter, without
// being scanned again; a record that does not fit (or whose value the fast
// conversion cannot decide) is left to the reader's other reads.
// Private to the reader and its tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::detail {

// The longest record a pattern describes, its line feed included.
inline constexpr std::size_t kPatternBytes = 128;
// How many bytes past a record's line feed the check may load (its last
// sixteen-byte step starts at most at the line feed, and a padded place's
// next byte is looked at beside it).
inline constexpr std::size_t kPatternPadding = 16;
// The most items a row read by a pattern has.
inline constexpr std::size_t kPatternItems = 8;

// Where a kept value's parts lie, as offsets from the record's first byte.
struct PatternValue {
  std::int16_t sign;          // the byte that is '-' for a negative value, or -1: always positive or padded
  std::int16_t integer;       // the first digit before the point; padded: the first padded place
  std::int16_t fraction;      // the first digit after the point
  std::int16_t exponent;      // the exponent's first digit
  std::int16_t exponentSign;  // the byte that is '-' for a negative exponent, or -1
  std::uint8_t integerDigits;   // padded: the padded places and the last digit before the point
  std::uint8_t fractionDigits;  // the two together at most 19: their value is exact
  std::uint8_t exponentDigits;  // 0: no exponent; at most 4
  std::uint8_t item;            // which item of the row it fills
  bool padded;                  // its sign and first digits in padded places
};

// A record's pattern, byte by byte: the byte at i fits when it is want[i] or
// other[i], or, where slack[i] is 9, when it is a digit ('0' in want and
// other); past the line feed slack is 0xFF and any byte fits. At a padded
// place (open[i] 0; 0xFF elsewhere) want is a blank and other a minus, and a
// digit fits too; a byte there that is not a blank must have a digit after
// it, so that the place's blanks come first, then at most one minus.
struct RecordPattern {
  alignas(16) unsigned char want[kPatternBytes];
  alignas(16) unsigned char other[kPatternBytes];
  alignas(16) unsigned char slack[kPatternBytes];
  alignas(16) unsigned char open[kPatternBytes];
  std::uint32_t length;  // the record's bytes, its line feed included; 0: no pattern
  std::uint32_t items;   // the row's items, the record's values
  std::uint32_t convert; // the items kept (TableRead::convertItems)
  std::uint32_t kept;    // how many of `values` are in use
  bool padded;           // some places are padded places
  PatternValue values[kPatternItems];
  // What the read with lines tells of each record of the pattern (RowLines::
  // told), set by that read when it learns the pattern from a record it
  // took, so that told is known (learnPattern clears it): the told bits,
  // which the places fix, and where the second value's digits start and
  // where it ends, for its written form.
  bool toldKnown;
  std::uint8_t told;
  std::uint8_t secondDigits;
  std::uint8_t secondEnd;
  // When a pattern is learned and how long it is kept: one that many
  // records do not fit (a table whose values vary in width) is forgotten,
  // and the records to pass before the next is learned double each time a
  // pattern did not pay, so that such a table pays almost nothing for the
  // attempts.
  std::uint32_t taken;     // rows read by this pattern
  std::uint32_t misfits;   // records that did not fit it
  std::uint32_t backoff;   // the next wait, in records
  long long learnAfter;    // the next pattern is learned from a record after this line
};

// One for each channel a program may have open (the reader's), none allocated.
static_assert(sizeof(RecordPattern) <= 704, "a pattern adds little to a reader's memory");

// No pattern, and nothing learned yet.
void forgetPattern(RecordPattern& pattern);

// While there is no pattern and the wait is over: learns the pattern of the
// record at `record` (learnPattern), the next row's; when it has none, the
// next is learned after a longer wait. `line` is the record's line.
void learnPatternOrWait(RecordPattern& pattern, const char* record, const char* end, std::size_t items,
                        std::uint32_t convert, long long line);

// The record at `line` did not fit the pattern: the pattern is kept while
// records mostly fit it, else forgotten.
void notePatternMisfit(RecordPattern& pattern, long long line);

// Learns the pattern of the record at `record` (its line feed before `end`,
// the buffer's sentinel), a row of `items` number items, the items in
// `convert` kept, when the one-pass read would take it whole: its values in
// the scanner's usual forms, split by blanks with at most one comma or
// semicolon between two, nothing after the last but blanks. False (and no
// pattern) when it would not, or when the record does not suit a pattern:
// longer than kPatternBytes, a kept value of more than 19 digits, an
// exponent of more than four. A value without an exponent or a plus, with a
// digit before its point, has padded places; a kept one only when they and
// its digits number at most 19. kNumberPadding bytes past `end` must be
// readable.
bool learnPattern(RecordPattern& pattern, const char* record, const char* end, std::size_t items,
                  std::uint32_t convert);

// What a run of records read by the pattern ended on.
struct PatternRun {
  std::size_t rows;  // records read, one row each
  bool misfit;       // the next record does not fit the pattern (else: the buffer's end, a value
                     // the fast conversion could not decide, or maxRows)
};

// Reads records from p while they fit the pattern and end before `end` (the
// buffer's sentinel; kPatternPadding bytes past it readable), up to
// maxRows, each into the next row of `row` (pattern.items doubles a row; only
// the kept items are stored). p moves past the records read.
PatternRun readPatternRows(const RecordPattern& pattern, const char*& p, const char* end, double* row,
                           std::size_t maxRows);

// The thirty-two-byte check of a record (taken where detail::wideReads
// says, for a pattern of 33 to 64 bytes, or to 96 without padded places,
// one item kept), for the tests: `checked` says
// whether the pattern is one it serves (else false is returned).
bool fitsPatternWide(const RecordPattern& pattern, const char* record, bool& checked);

// Records' bytes against a pattern one at a time: the reference the sixteen-
// byte check is tested against.
bool fitsPatternByBytes(const RecordPattern& pattern, const char* record);
bool fitsPattern(const RecordPattern& pattern, const char* record);

}  // namespace velmora::detail
