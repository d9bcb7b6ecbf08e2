#include "number.h"
#include "freeformat.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "fastnumber.h"

namespace velmora::detail {
namespace {

// Saturation bounds: far beyond any exponent a double can need, far below the
// range of std::int64_t, so sums of them cannot overflow.
constexpr std::int64_t kCountLimit = std::int64_t{1} << 50;
constexpr std::int64_t kExponentClamp = 100000;

bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool isLetter(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::int64_t saturatingStep(std::int64_t value, int digit) {
  if (value >= kCountLimit) return kCountLimit;
  return value * 10 + digit;
}

bool wordIs(const char* word, int length, const char* expected) {
  if (static_cast<std::size_t>(length) != std::strlen(expected)) return false;
  for (int i = 0; i < length; ++i) {
    char c = word[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != expected[i]) return false;
  }
  return true;
}

}  // namespace

void NumberParser::addDigit(char digit, bool afterPoint) {
  if (kept_ == 0 && digit == '0') {
    // Leading zeros carry no digits, only a position.
    if (afterPoint && leadingZeros_ < kCountLimit) ++leadingZeros_;
    return;
  }
  if (kept_ < kKeptDigits) {
    digits_[kept_++] = digit;
  } else if (digit != '0') {
    sticky_ = true;
  }
  if (!afterPoint && integerDigits_ < kCountLimit) ++integerDigits_;
}

bool NumberParser::feed(unsigned char c) {
  // Each case either moves to its next state and returns true, or returns
  // false and leaves everything as it was.
  switch (state_) {
    case State::Start:
      if (c == '+' || c == '-') {
        negative_ = c == '-';
        state_ = State::Sign;
        return true;
      }
      [[fallthrough]];
    case State::Sign:
      if (isDigit(c)) {
        addDigit(static_cast<char>(c), false);
        state_ = State::Integer;
      } else if (c == '.') {
        state_ = State::PointFirst;
      } else if (isLetter(c)) {
        word_[0] = static_cast<char>(c);
        wordLength_ = 1;
        state_ = State::Word;
      } else {
        return false;
      }
      break;
    case State::Integer:
      if (isDigit(c)) {
        addDigit(static_cast<char>(c), false);
      } else if (c == '.') {
        state_ = State::Fraction;  // "12." is a number
      } else if (isExponentLetter(c)) {
        state_ = State::ExponentMark;
      } else if (c == '+' || c == '-') {
        exponentNegative_ = c == '-';  // "1.5+3": a sign alone starts the exponent
        state_ = State::ExponentSign;
      } else {
        return false;
      }
      break;
    case State::PointFirst:
      if (isDigit(c)) {
        addDigit(static_cast<char>(c), true);
        state_ = State::Fraction;
      } else {
        return false;
      }
      break;
    case State::Fraction:
      if (isDigit(c)) {
        addDigit(static_cast<char>(c), true);
      } else if (isExponentLetter(c)) {
        state_ = State::ExponentMark;
      } else if (c == '+' || c == '-') {
        exponentNegative_ = c == '-';
        state_ = State::ExponentSign;
      } else {
        return false;
      }
      break;
    case State::ExponentMark:
      if (c == '+' || c == '-') {
        exponentNegative_ = c == '-';
        state_ = State::ExponentSign;
        break;
      }
      [[fallthrough]];
    case State::ExponentSign:
    case State::Exponent:
      if (isDigit(c)) {
        exponent_ = saturatingStep(exponent_, c - '0');
        state_ = State::Exponent;
      } else {
        return false;
      }
      break;
    case State::Word:
      if (isLetter(c) && wordLength_ < kMaxWord) {
        word_[wordLength_++] = static_cast<char>(c);
      } else {
        return false;
      }
      break;
  }
  return true;
}

bool NumberParser::finish(double& out) const {
  double magnitude = 0;
  switch (state_) {
    case State::Integer:
    case State::Fraction:
    case State::Exponent:
      break;
    case State::Word:
      if (wordIs(word_, wordLength_, "inf") || wordIs(word_, wordLength_, "infinity")) {
        out = negative_ ? -std::numeric_limits<double>::infinity()
                        : std::numeric_limits<double>::infinity();
        return true;
      }
      if (wordIs(word_, wordLength_, "nan")) {
        out = negative_ ? -std::numeric_limits<double>::quiet_NaN()
                        : std::numeric_limits<double>::quiet_NaN();
        return true;
      }
      return false;
    default:
      return false;
  }
  if (kept_ > 0) {
    // The value is 0.DIGITS x 10^scale; write it in a form from_chars takes.
    std::int64_t scale = integerDigits_ - leadingZeros_ + (exponentNegative_ ? -exponent_ : exponent_);
    if (scale > kExponentClamp) scale = kExponentClamp;
    if (scale < -kExponentClamp) scale = -kExponentClamp;
    char text[kKeptDigits + 32];
    char* p = text;
    *p++ = '0';
    *p++ = '.';
    std::memcpy(p, digits_, static_cast<std::size_t>(kept_));
    p += kept_;
    if (sticky_) *p++ = '1';  // any nonzero tail lies above the kept digits' halfway point
    *p++ = 'e';
    p = std::to_chars(p, text + sizeof text, scale).ptr;
    auto [end, error] = std::from_chars(text, p, magnitude);
    if (error == std::errc::result_out_of_range) {
      magnitude = scale > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (error != std::errc() || end != p) {
      return false;  // cannot happen for the text built above
    }
  }
  out = negative_ ? -magnitude : magnitude;
  return true;
}

std::from_chars_result parseNumberGeneral(const char* first, const char* last, double& value) {
  // Over exactly the bytes up to `last`.
  NumberParser parser;
  const char* p = first;
  while (p != last && parser.feed(static_cast<unsigned char>(*p))) ++p;
  if (!parser.finish(value)) return {first, std::errc::invalid_argument};
  return {p, std::errc()};
}

bool convertNumber(std::string_view text, double& out) {
  NumberParser parser;
  for (char c : text) {
    if (!parser.feed(static_cast<unsigned char>(c))) return false;
  }
  return parser.finish(out);
}

}  // namespace velmora::detail

namespace velmora {

bool isNumberValue(std::string_view text) {
  double ignored;
  return detail::convertNumber(text, ignored);
}

}  // namespace velmora
