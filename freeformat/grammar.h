// The value grammar's bytes: one table of byte classes that every read of
// the reader consults (the statements' search for the next value, the values'
// ends, the one-pass and short reads of a record, how a record splits into
// values), and the letters and limits of a number's exponent. Private to the
// reader.
//
// Where a lone carriage return is handled: here, and only here. It is a blank
// like a space or a tab; before a line feed it is a blank too, and since a
// record end acts as a blank, CR LF needs no rule of its own. (Inside a quoted
// value no byte is a separator; there every carriage return is dropped, which
// is the quoted value's own rule, in the reader's readQuoted.)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velmora::detail {

// The classes, one bit each; a byte may have several (none: an ordinary byte
// of a value).
inline constexpr std::uint8_t kBlank = 1;           // space, tab, carriage return
inline constexpr std::uint8_t kComma = 2;           // comma, semicolon: one separator, a null value if doubled
inline constexpr std::uint8_t kSlash = 4;           // ends the statement
inline constexpr std::uint8_t kRecordEnd = 8;       // line feed
inline constexpr std::uint8_t kQuote = 16;          // apostrophe, quotation mark: opens a quoted value
inline constexpr std::uint8_t kExponentLetter = 32; // E, e, D, d after a number's digits
inline constexpr std::uint8_t kSign = 64;           // plus, minus: a number's sign, or its exponent's
// What ends a value (unquoted text, a number, a repeat count, a closing
// quote's follower).
inline constexpr std::uint8_t kEndsValue = kBlank | kComma | kSlash | kRecordEnd;
// What may open an exponent after a number's digits: a letter, or a sign
// alone ("1.5+3" is 1500).
inline constexpr std::uint8_t kExponentStart = kExponentLetter | kSign;

inline constexpr std::array<std::uint8_t, 256> kByteClasses = [] {
  std::array<std::uint8_t, 256> table{};
  auto set = [&table](const char* bytes, std::uint8_t byteClass) {
    for (const char* c = bytes; *c != '\0'; ++c) table[static_cast<unsigned char>(*c)] |= byteClass;
  };
  set(" \t\r", kBlank);
  set(",;", kComma);
  set("/", kSlash);
  set("\n", kRecordEnd);
  set("'\"", kQuote);
  set("EeDd", kExponentLetter);
  set("+-", kSign);
  return table;
}();

inline constexpr std::uint8_t byteClass(unsigned char c) { return kByteClasses[c]; }

// How many bytes a value's sign takes at its first byte: 1 for a plus or a
// minus, else 0. The sign class in the form a scan adds to its place: one
// load, where two compares and their combination would be.
inline constexpr std::array<std::uint8_t, 256> kSignLengths = [] {
  std::array<std::uint8_t, 256> table{};
  for (unsigned c = 0; c < 256; ++c) table[c] = (kByteClasses[c] & kSign) != 0 ? 1 : 0;
  return table;
}();
inline constexpr std::size_t signLength(unsigned char c) { return kSignLengths[c]; }
inline constexpr bool isBlank(unsigned char c) { return (byteClass(c) & kBlank) != 0; }
inline constexpr bool endsValue(unsigned char c) { return (byteClass(c) & kEndsValue) != 0; }
inline constexpr bool isQuote(unsigned char c) { return (byteClass(c) & kQuote) != 0; }
inline constexpr bool isExponentLetter(unsigned char c) { return (byteClass(c) & kExponentLetter) != 0; }
inline constexpr bool isDigitByte(unsigned char c) { return static_cast<unsigned char>(c - '0') < 10; }

// A repeat count r of "r*v" with the next digit taken: it saturates at the
// largest count, which no statement can tell from a larger one.
inline constexpr std::uint64_t repeatCountStep(std::uint64_t count, unsigned char digit) {
  const auto value = static_cast<std::uint64_t>(digit - '0');
  return count > (UINT64_MAX - value) / 10 ? UINT64_MAX : count * 10 + value;
}

// The largest exponent, and the largest count of a value's digits, the
// reader weighs exactly: far beyond any power of ten a double can need
// (1e-400 is zero, 1e400 infinite whatever digits a value has before its
// exponent stops mattering), far inside an int. The scanner leaves a value
// beyond it to the general rules, which clamp the value's power of ten to it.
inline constexpr std::int64_t kExponentLimit = 100000;

// Where an exponent's value saturates: far below the range of std::int64_t,
// so that sums of it and of a value's digit counts cannot overflow, and far
// beyond any count of digits a file can hold.
inline constexpr std::int64_t kCountLimit = std::int64_t{1} << 50;

}  // namespace velmora::detail
