// Number values: the grammar checked byte by byte, and the conversion to the
// nearest double. Private to the reader (and its tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velmora::detail {

// Accepted forms: an optional sign; digits with an optional decimal point
// before, among or after them (12, 12., 12.5, .5); an optional exponent, either
// E, e, D or d and an optionally signed integer, or a sign and an integer
// (1.5+3 is 1500); or Inf, Infinity, NaN in any letter case, optionally signed.
//
// The parser takes the value one byte at a time, so a value of any length is
// handled in fixed memory: beyond the first kKeptDigits significant digits only
// whether any further digit is nonzero matters for the rounding.
class NumberParser {
 public:
  // Takes the next byte; false once the bytes seen can no longer be a number
  // (every later call keeps returning false).
  bool feed(unsigned char c);
  // True when the bytes fed form a whole number; stores its nearest double.
  bool finish(double& out) const;

 private:
  enum class State : std::uint8_t {
    Start, Sign, Integer, PointFirst, Fraction, ExponentMark, ExponentSign,
    Exponent, Word, Fail
  };
  static constexpr int kKeptDigits = 800;
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

// The whole text as one number value; false when it is not one.
bool convertNumber(std::string_view text, double& out);

}  // namespace velmora::detail
