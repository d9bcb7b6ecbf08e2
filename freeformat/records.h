// Records as written: how one record splits into values and how each value
// is written, by the reader's own tokenizer and number scanner, and a file's
// records read again at the offsets a reader gave. For weighing and showing
// what a writer wrote, never for reading values (the statements do that);
// not on any statement's path.
// A guard rather than #pragma once: the build also copies the public headers
// into a directory of their own, and a file that reaches both copies must
// read only one.
#ifndef VELMORA_FREEFORMAT_RECORDS_H
#define VELMORA_FREEFORMAT_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// How a record splits into values (describeRecord).
struct RecordShape {
  std::uint32_t values = 0;
  std::uint32_t numbers = 0;
  bool plain = true;
};

// How one record (its bytes without the line feed) splits into values by the
// reader's rules, as a statement with items enough would read it from the
// record's start: `values` counts every value it holds up to a slash (a null
// value is one, a repeat form r*v or r* is r of them), `numbers` those that
// read as numbers, and `plain` says the record holds no null value, slash,
// repeat form or quote.
//   "1 2 3"        -> {3, 3, plain}      "1,,3"       -> {3, 2, not plain}
//   "Rate 0.25 x"  -> {3, 1, plain}      "3*7 x"      -> {4, 3, not plain}
//   "1 / 2 3"      -> {1, 1, not plain}  "'a b', 2"   -> {2, 1, not plain}
//   ", 5"          -> {2, 1, not plain}  ""  "  \t"   -> {0, 0, plain}
//   "1.5E 2"       -> {2, 1, plain}      "2*"         -> {2, 0, not plain}
RecordShape describeRecord(std::string_view record);

// How a record's values are written, as the reader's rules scan them: for
// weighing and showing what a writer wrote, never for reading values (the
// statements do that). Not on any statement's path.

enum class WrittenKind : std::uint8_t {
  Number,  // reads as a number
  Null,    // a comma or semicolon where a value was due, or r* (r null values)
  Quoted,  // a quoted value
  Other,   // unquoted bytes that are not a number (a bad value for a number item)
};

// How a number's exponent opens: a letter (E, e, D, d), or a sign right
// after the digits ("1.5+3" is 1500).
enum class ExponentForm : std::uint8_t { None, Letter, SignAlone };

// What ends a value: the byte right after it.
enum class WrittenEnd : std::uint8_t { RecordEnd, Blank, Separator, Slash };

struct WrittenValue {
  std::size_t start = 0, end = 0;  // its bytes in the record, a repeat count included (a null value: the
                                   // separator's place, start == end)
  std::size_t body = 0;            // where the value after a repeat count starts (start without one)
  std::uint64_t repeat = 1;        // values it gives: r of r*v, else 1
  WrittenKind kind = WrittenKind::Other;
  WrittenEnd endedBy = WrittenEnd::RecordEnd;  // the end of the record, or a line feed, blank, comma or
                                               // semicolon, or slash at `end`
  // A number's shape, as written:
  bool sign = false;               // a sign before its digits
  bool point = false;              // a decimal point
  bool word = false;               // Inf, Infinity or NaN
  std::uint32_t integerDigits = 0;     // digits before the point
  std::uint32_t fractionDigits = 0;    // digits after it
  std::uint32_t significantDigits = 0; // from the first nonzero digit to the last digit before the exponent
  ExponentForm exponent = ExponentForm::None;
  std::size_t exponentAt = 0;      // where the exponent opens (its letter, or the sign alone)
  int exponentValue = 0;           // the exponent, capped at +-kWrittenExponentCap
  // Decimals the value has: the fraction's digits less the exponent (0 at
  // least); "1.25" -> 2, "1.25E1" -> 1, "125" -> 0, "1.2E+05" -> 0.
  [[nodiscard]] std::uint32_t decimals() const {
    const long long d = static_cast<long long>(fractionDigits) - exponentValue;
    return d > 0 ? static_cast<std::uint32_t>(d) : 0;
  }
};
inline constexpr int kWrittenExponentCap = 100000;

// What a record holds up to a slash, value by value.
struct WrittenRecord {
  std::size_t values = 0;                        // value spans in the record (a repeat form is one)
  std::size_t slash = std::string_view::npos;    // where a slash ends it
};

// Describes the record's values in order, the first out.size() of them into
// `out`, as a statement starting at the record's start reads them.
//   "1.5+3 2"   -> {Number, exponent SignAlone at 3, exponentValue 3}, {Number}
//   "-0.0120,x" -> {Number, sign, integerDigits 1, fractionDigits 4, significantDigits 3}, {Other}
//   "1 / 2"     -> one value, slash at 2        "'a/b' 3*7" -> {Quoted}, {Number, repeat 3, body 8}
WrittenRecord describeValues(std::string_view record, std::span<WrittenValue> out);

// The value item `item` (from 1) of a statement starting at the record's
// start takes, when the record holds it before a slash.
//   ("1 2.50 3", 2) -> "2.50"     ("2*7 8", 2) -> the second 7     ("1 / 2", 2) -> none
bool writtenItem(std::string_view record, int item, WrittenValue& value);

// The value `bytes` alone, as describeValues describes it, for bytes a
// caller knows to be one unquoted value that is no repeat form (no blank,
// separator, slash, quote or asterisk among them: a value of a record a
// fast read took whole), so they need no split.
//   "-1.50E+3" -> {Number, sign, integerDigits 1, fractionDigits 2, exponent Letter, exponentValue 3}
WrittenValue writtenValueAlone(std::string_view bytes);
// The same for bytes [first, last) followed by a byte that ends a value (a
// line feed, blank, comma or semicolon) and kWrittenValuePadding - 1 more
// readable bytes (of any value), described where they stand, not in a copy.
inline constexpr std::size_t kWrittenValuePadding = 16;
WrittenValue writtenValuePadded(const char* first, const char* last);
// The same for the bytes of a value of a record the short record's read took
// whole (RowRecord::Short): a minus at most, then digits with at most one
// point among them and a digit beside it. Told from the bytes themselves,
// with no scan and no copy.
//   "-0.0120" -> {Number, sign, integerDigits 1, fractionDigits 4, significantDigits 3}
WrittenValue writtenShortValue(std::string_view bytes);
// Of such a record whole (at most 31 bytes), its second value's decimals
// (the digits after its point) and significant digits, counted as
// writtenShortValue counts, from bit masks of the record's bytes: no split,
// no scan. False where the record holds no second value.
//   " -1.0 0.0250 3" -> decimals 4, significant 3
bool writtenShortSecond(std::string_view record, std::uint32_t& decimals, std::uint32_t& significant);

// Whether the reader reads a byte outside a quoted value as a blank between
// values: a space, a tab, a carriage return.
bool isBlankByte(unsigned char c);

// ---------------------------------------------------------------------------
// A file's records as written, read again at the offsets a reader gave
// (RowLines::offset, FreeFormatReader::statementRecordOffset()): for showing
// records, never for reading values out of them. One open, for reading only,
// never creating; every read is bounded: a record is taken up to
// kMaxFetchedRecord bytes, and one access reads at most kMaxFetchedBytes in
// all (a record asked for past that is not read).
inline constexpr std::size_t kMaxFetchedRecord = std::size_t{64} << 10;
inline constexpr std::size_t kMaxFetchedBytes = std::size_t{3} << 20;

struct FetchedRecord {
  std::string bytes;      // up to the line feed, without it (a CR before it is kept)
  bool cut = false;       // the record goes on past kMaxFetchedRecord bytes
  long long next = -1;    // where the next record starts; -1: the file ends here, or cut
};

class RecordAccess {
 public:
  explicit RecordAccess(std::string_view name);
  ~RecordAccess();
  RecordAccess(const RecordAccess&) = delete;
  RecordAccess& operator=(const RecordAccess&) = delete;
  // The record starting at `offset`; false when the file could not be opened
  // or read there, holds nothing there, or the access's bytes are spent.
  bool recordAt(long long offset, FetchedRecord& record);
  // A record's first read takes this many bytes (or what is left of the
  // file or of kMaxFetchedBytes, where less): it holds most records whole. A
  // longer record goes on in reads of 4096.
  static constexpr std::size_t kFirstRead = 512;
  [[nodiscard]] std::size_t bytesRead() const { return bytesRead_; }
  // Reads ahead, in order of offset, what recordAt would read first at each
  // of `offsets` (of a regular file), in pieces of several records where
  // they lie at most kAheadGap apart, at most kAheadBytes in all, and keeps
  // of each only its record (up to its line feed). recordAt then takes a
  // first read from these, and reads and counts exactly as it would have
  // without: reading ahead changes how the file is read, never what a record
  // holds or which records are read.
  void readAhead(std::vector<long long> offsets);
  static constexpr std::size_t kAheadGap = 4096;
  static constexpr std::size_t kAheadBytes = 3 * kMaxFetchedBytes;

 private:
  // What a pread of `wanted` bytes at `at` returns (the bytes past the first
  // line feed may be left unwritten), from what was read ahead where it
  // holds it.
  long readAt(char* into, std::size_t wanted, long long at);

  // A record's first read, as read ahead.
  struct Ahead {
    long long offset = 0;
    std::uint32_t got = 0;   // what the first read returned
    std::uint32_t kept = 0;  // its bytes kept: up to and with the first line feed, or all
    std::size_t at = 0;      // in aheadBytes_
  };
  int fd_ = -1;
  std::size_t bytesRead_ = 0;
  std::vector<Ahead> ahead_;  // by offset
  std::string aheadBytes_;
};

}  // namespace velmora

#endif  // VELMORA_FREEFORMAT_RECORDS_H
