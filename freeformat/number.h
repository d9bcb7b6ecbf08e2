// Number values: one entry point in the manner of std::from_chars, and the
// general byte-by-byte rules it falls back on. Private to the reader (and to
// tests that link the reader's internals).
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <system_error>

#include "fastnumber.h"

namespace velmora::detail {

// Accepted forms: an optional sign; digits with an optional decimal point
// before, among or after them (12, 12., 12.5, .5); an optional exponent, either
// E, e, D or d and an optionally signed integer, or a sign and an integer
// (1.5+3 is 1500); or Inf, Infinity, NaN in any letter case, optionally signed.
// The value is the nearest double, halfway cases to even; beyond the range an
// infinity of its sign, below it the nearest subnormal or a zero of its sign.

// How many bytes parseNumber may read from `last` on: the byte at `last`
// itself and those after it that the scanner's loads can reach (a load
// starts at most at `last`). A buffer handed to it keeps this many readable
// bytes after its valid ones.
inline constexpr std::size_t kNumberPadding = 1 + fast::kScanPadding;

// The general rules over [first, last), for what the scanner or the fast
// conversion left undecided.
std::from_chars_result parseNumberGeneral(const char* first, const char* last, double& value);

// Reads the number at `first`: the run of bytes from `first`, up to `last`,
// that the number grammar can continue. On success, `value` holds its nearest
// double and ptr points at the first byte after it (a byte that cannot
// continue a number, or `last`); whether that byte may end a value is the
// caller's concern. Fails (std::errc::invalid_argument, `value` unchanged)
// when that run is not a whole number: "1.5E" followed by a blank, "+", "x".
//   "12 "    -> 12, ptr at the blank     "1.5+3," -> 1500, ptr at the comma
//   "3*7"    -> 3, ptr at the asterisk   "-inf/"  -> -infinity, ptr at the slash
//   "0.5C"   -> 0.5, ptr at the C        "1.5E "  -> fails
// The byte at `last` must be readable and must not be a digit, sign, point or
// letter (the reader keeps a line feed there), and kNumberPadding bytes from
// `last` on must be readable.
// Inside: the scanner (fastnumber.h) and the exact fast conversion; what they
// cannot decide (Inf, NaN, a subnormal, a possible halfway point, an
// exponent beyond the fast range, a bad value) goes to the general rules
// below. The door to a number: the reader's statements and its row reads
// come through here, but for the short record's read, which enters the
// scanner at its plain decimals of at most eight bytes (scanShortDecimal) and
// the conversion at its exact case.
[[gnu::always_inline]] inline std::from_chars_result parseNumber(const char* first, const char* last,
                                                                 double& value) {
  fast::ScannedNumber number;
  if (fast::scanNumber(first, number) && number.end <= last && fast::toDouble(number, value)) {
    return {number.end, std::errc()};
  }
  return parseNumberGeneral(first, last, value);
}

// Where the number at `first` ends, when the scanner takes it whole, without
// converting it; nullptr when it does not (the general rules then judge the
// bytes, as parseNumber would). A number it takes is one parseNumber takes,
// with the same end. The same bytes readable as for parseNumber, `last` being
// the buffer's line-feed sentinel at the latest.
[[gnu::always_inline]] inline const char* checkNumber(const char* first) {
  fast::ScannedNumber number;
  if (!fast::scanNumber<false>(first, number)) return nullptr;
  return number.end;
}

// The significant digits the general rules keep: beyond them only whether
// any is nonzero matters (as a digit just below the last kept).
inline constexpr int kKeptDigits = 800;

// The general rules, one byte at a time, so that a value of any length and one
// arriving in pieces are handled in fixed memory: beyond the first kKeptDigits
// significant digits only whether any further digit is nonzero matters for the
// rounding.
class NumberParser {
 public:
  // Takes the next byte; false when it cannot continue the bytes seen so far,
  // which are then left as they were (finish() still judges them).
  bool feed(unsigned char c);
  // True when the bytes taken form a whole number; stores its nearest double,
  // from the conversion's tiers in order (the exact case, Eisel-Lemire, then
  // the exact general tier); with exactOnly from the general tier alone.
  bool finish(double& out, bool exactOnly = false) const;

 private:
  enum class State : std::uint8_t {
    Start, Sign, Integer, PointFirst, Fraction, ExponentMark, ExponentSign,
    Exponent, Word
  };
  static constexpr int kMaxWord = 8;  // "infinity"

  void addDigit(char digit, bool afterPoint);

  State state_ = State::Start;
  bool negative_ = false;
  bool exponentNegative_ = false;
  bool sticky_ = false;  // a nonzero digit beyond the kept ones
  int kept_ = 0;
  int wordLength_ = 0;
  std::int64_t integerDigits_ = 0;     // significant digits before the point
  std::int64_t leadingZeros_ = 0;      // zeros after the point before the first significant digit
  std::int64_t exponent_ = 0;
  char digits_[kKeptDigits];
  char word_[kMaxWord];
};

// The whole text as one number value, by the general rules alone (their scan
// and the exact tier of the conversion); false when it is not one. The
// reference the faster tiers are tested against.
bool convertNumber(std::string_view text, double& out);

}  // namespace velmora::detail
