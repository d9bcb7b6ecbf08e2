#include "number.h"
#include "freeformat.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "fastnumber.h"
#include "records.h"

namespace velmora::detail {
namespace {

// Counts saturate here: far below the range of std::int64_t, so sums of
// them cannot overflow.
constexpr std::int64_t kCountLimit = std::int64_t{1} << 50;

bool isDigit(unsigned char c) { return isDigitByte(c); }
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

// ---------------------------------------------------------------------------
// The exact tier of the conversion: any number of significant digits and any
// power of ten, to the nearest double, halfway cases to even. The value is
// held as decimal digits and doubled or halved by powers of two until it lies
// in [1/2, 1); the significand is then the integer part of the value times
// 2^53, rounded on the digits left below it.

constexpr int kDecimalDigits = kKeptDigits;  // a dropped digit is only a sticky bit, also below these

struct Decimal {
  std::uint8_t digit[kDecimalDigits];  // digit values, the first nonzero
  int count = 0;                       // digits held
  int point = 0;                       // the value is 0.digit[0] digit[1] ... x 10^point
  bool truncated = false;              // nonzero digits below those held were dropped
};

void trim(Decimal& a) {
  while (a.count > 0 && a.digit[a.count - 1] == 0) --a.count;
  if (a.count == 0) a.point = 0;
}

// At most this many bits a step, so that the running sums below fit 64 bits.
constexpr unsigned kMaxShift = 60;

// a / 2^k, 1 <= k <= kMaxShift.
void halve(Decimal& a, unsigned k) {
  int read = 0;
  int write = 0;
  std::uint64_t n = 0;
  // Enough leading digits for the first digit of the quotient.
  for (; (n >> k) == 0; ++read) {
    if (read >= a.count) {
      if (n == 0) {
        a.count = 0;
        return;
      }
      while ((n >> k) == 0) {
        n *= 10;
        ++read;
      }
      break;
    }
    n = n * 10 + a.digit[read];
  }
  a.point -= read - 1;
  const std::uint64_t mask = (std::uint64_t{1} << k) - 1;
  for (; read < a.count; ++read) {
    const std::uint64_t next = a.digit[read];
    a.digit[write++] = static_cast<std::uint8_t>(n >> k);
    n = (n & mask) * 10 + next;
  }
  while (n > 0) {
    const auto quotientDigit = static_cast<std::uint8_t>(n >> k);
    n &= mask;
    if (write < kDecimalDigits) {
      a.digit[write++] = quotientDigit;
    } else if (quotientDigit != 0) {
      a.truncated = true;
    }
    n *= 10;
  }
  a.count = write;
  trim(a);
}

// a x 2^k, 1 <= k <= kMaxShift: the digits from the last up, into room for
// the at most 19 more that 2^60 can add.
void doubleUp(Decimal& a, unsigned k) {
  std::uint8_t out[kDecimalDigits + 20];
  int write = static_cast<int>(sizeof out);
  std::uint64_t n = 0;
  for (int read = a.count - 1; read >= 0; --read) {
    n += std::uint64_t{a.digit[read]} << k;
    const std::uint64_t quotient = n / 10;
    out[--write] = static_cast<std::uint8_t>(n - 10 * quotient);
    n = quotient;
  }
  while (n > 0) {
    const std::uint64_t quotient = n / 10;
    out[--write] = static_cast<std::uint8_t>(n - 10 * quotient);
    n = quotient;
  }
  const int produced = static_cast<int>(sizeof out) - write;
  a.point += produced - a.count;
  const int kept = produced < kDecimalDigits ? produced : kDecimalDigits;
  for (int i = kept; i < produced; ++i) a.truncated |= out[write + i] != 0;
  std::memcpy(a.digit, out + write, static_cast<std::size_t>(kept));
  a.count = kept;
  trim(a);
}

// a x 2^k for any k.
void shift(Decimal& a, int k) {
  if (a.count == 0) return;
  for (; k > static_cast<int>(kMaxShift); k -= kMaxShift) doubleUp(a, kMaxShift);
  for (; k < -static_cast<int>(kMaxShift); k += kMaxShift) halve(a, kMaxShift);
  if (k > 0) doubleUp(a, static_cast<unsigned>(k));
  if (k < 0) halve(a, static_cast<unsigned>(-k));
}

// The integer part of a, rounded on the digits below it, halfway to even
// (a dropped nonzero digit puts a halfway value above the half).
std::uint64_t roundedInteger(const Decimal& a) {
  std::uint64_t n = 0;
  int i = 0;
  for (; i < a.point && i < a.count; ++i) n = n * 10 + a.digit[i];
  for (; i < a.point; ++i) n *= 10;
  const int at = a.point;
  if (at < 0 || at >= a.count) return n;
  const bool up = a.digit[at] == 5 && at + 1 == a.count ? a.truncated || (at > 0 && a.digit[at - 1] % 2 != 0)
                                                        : a.digit[at] >= 5;
  return n + (up ? 1 : 0);
}

// The nearest double to the magnitude of a (which it changes).
double nearestDouble(Decimal& a) {
  constexpr int kMantissaBits = 52;
  constexpr int kBias = -1023;            // the exponent of a double is this + its exponent field
  constexpr int kInfiniteField = 0x7FF;
  const double infinity = std::numeric_limits<double>::infinity();
  if (a.count == 0) return 0;
  // Beyond the range whatever the digits: at least 10^310, or below 10^-330.
  if (a.point > 310) return infinity;
  if (a.point < -330) return 0;
  // Into [1/2, 1) by powers of two; the steps take about log2(10^point) bits
  // at once (a table of how many keep the first digit nonzero).
  static constexpr int kStep[] = {1, 3, 6, 9, 13, 16, 19, 23, 26};
  constexpr int kSteps = sizeof kStep / sizeof kStep[0];
  int exponent = 0;
  while (a.point > 0) {
    const int n = a.point >= kSteps ? 27 : kStep[a.point];
    shift(a, -n);
    exponent += n;
  }
  while (a.count > 0 && (a.point < 0 || (a.point == 0 && a.digit[0] < 5))) {
    const int n = -a.point >= kSteps ? 27 : kStep[-a.point];
    shift(a, n);
    exponent -= n;
  }
  --exponent;  // [1/2, 1) is 2^-1 x [1, 2)
  // Below the smallest normal exponent: the significand is shifted down to
  // it (a subnormal result, or zero).
  if (exponent < kBias + 1) {
    const int n = kBias + 1 - exponent;
    shift(a, -n);
    exponent += n;
  }
  if (exponent - kBias >= kInfiniteField) return infinity;
  shift(a, kMantissaBits + 1);
  std::uint64_t mantissa = roundedInteger(a);
  if (mantissa == std::uint64_t{2} << kMantissaBits) {  // rounded up to the next power of two
    mantissa >>= 1;
    ++exponent;
    if (exponent - kBias >= kInfiniteField) return infinity;
  }
  if ((mantissa & (std::uint64_t{1} << kMantissaBits)) == 0) exponent = kBias;  // subnormal
  const std::uint64_t bits = (mantissa & ((std::uint64_t{1} << kMantissaBits) - 1)) |
                             static_cast<std::uint64_t>(exponent - kBias) << kMantissaBits;
  return fast::fromBits(bits);
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

bool NumberParser::finish(double& out, bool exactOnly) const {
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
    // The value is 0.DIGITS x 10^scale, the scale clamped where no digits
    // can bring the value back into the range.
    std::int64_t scale = integerDigits_ - leadingZeros_ + (exponentNegative_ ? -exponent_ : exponent_);
    if (scale > kExponentLimit) scale = kExponentLimit;
    if (scale < -kExponentLimit) scale = -kExponentLimit;
    if (!exactOnly && kept_ <= fast::kMaxDigits && !sticky_) {
      // DIGITS x 10^(scale - kept): the faster tiers first, as for a value
      // the scanner takes.
      std::uint64_t digits = 0;
      for (int i = 0; i < kept_; ++i) digits = digits * 10 + static_cast<unsigned>(digits_[i] - '0');
      if (fast::convert(digits, static_cast<int>(scale) - kept_, magnitude)) {
        out = fast::withSign(magnitude, negative_);
        return true;
      }
    }
    Decimal decimal;
    for (int i = 0; i < kept_; ++i) decimal.digit[i] = static_cast<std::uint8_t>(digits_[i] - '0');
    decimal.count = kept_;
    decimal.point = static_cast<int>(scale);
    decimal.truncated = sticky_;
    trim(decimal);
    magnitude = nearestDouble(decimal);
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
  return parser.finish(out, true);
}

}  // namespace velmora::detail

namespace velmora {

bool isNumberValue(std::string_view text) {
  double ignored;
  return detail::convertNumber(text, ignored);
}

}  // namespace velmora
