#include "number.h"
#include "numbers.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <limits>
#include <system_error>

#include "fastnumber.h"

namespace velmora::detail {
namespace {

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

// The conversion of a scanned value's parts (fast::scanParts, whole), its
// power of ten raised by `scale`: the tiers in order (the exact case,
// Eisel-Lemire, then the exact general tier); with exactOnly the general
// tier alone.
bool convertParts(const fast::NumberParts& number, std::int64_t scale, double& out, bool exactOnly = false) {
  switch (number.word) {
    case fast::NumberWord::Infinity:
      out = fast::withSign(std::numeric_limits<double>::infinity(), number.negative);
      return true;
    case fast::NumberWord::NaN:
      out = number.negative ? -std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::quiet_NaN();
      return true;
    case fast::NumberWord::None:
      break;
  }
  Decimal decimal;
  const fast::SignificantDigits digits = fast::significantDigits(
      number.first, number.mantissaEnd, kKeptDigits,
      [&decimal](unsigned digit) { decimal.digit[decimal.count++] = static_cast<std::uint8_t>(digit); });
  double magnitude = 0;
  if (digits.kept > 0) {
    // The value is 0.DIGITS x 10^point, the point clamped where no digits
    // can bring the value back into the range.
    std::int64_t point = digits.kept + digits.scale + number.exponent + scale;
    if (point > kExponentLimit) point = kExponentLimit;
    if (point < -kExponentLimit) point = -kExponentLimit;
    if (!exactOnly && digits.kept <= fast::kMaxDigits && !digits.dropped) {
      // DIGITS x 10^(point - kept): the faster tiers first, as for a value
      // the fast forms take.
      std::uint64_t w = 0;
      for (int i = 0; i < decimal.count; ++i) w = w * 10 + decimal.digit[i];
      if (fast::convert(w, static_cast<int>(point) - digits.kept, magnitude)) {
        out = fast::withSign(magnitude, number.negative);
        return true;
      }
    }
    decimal.point = static_cast<int>(point);
    decimal.truncated = digits.dropped;
    trim(decimal);
    magnitude = nearestDouble(decimal);
  }
  out = fast::withSign(magnitude, number.negative);
  return true;
}

}  // namespace

std::from_chars_result parseNumberGeneral(const char* first, const char* last, double& value) {
  const fast::NumberParts number = fast::scanParts(first);
  if (!number.whole || number.end > last || !convertParts(number, 0, value)) return {first, std::errc::invalid_argument};
  return {number.end, std::errc()};
}

bool parseWholeNumber(const char* first, const char* last, std::int64_t scale, double& value) {
  if (scale == 0) {
    const std::from_chars_result read = parseNumber(first, last, value);
    return read.ec == std::errc() && read.ptr == last;
  }
  const fast::NumberParts number = fast::scanParts(first);
  return number.whole && number.end == last && convertParts(number, scale, value);
}

char* foldNumber(char* first, char* end, std::int64_t& scale) {
  const fast::NumberParts number = fast::scanParts(first);
  if (number.end != end || number.word != fast::NumberWord::None) return nullptr;
  // A mantissa as short as this is kept as written.
  constexpr std::ptrdiff_t kShortMantissa = 1024;
  // An exponent of more digits than this (leading zeros aside) is saturated
  // whatever digits follow: written as 1 and this many zeros.
  constexpr std::size_t kExponentDigits = 17;
  char out[1 + kShortMantissa + 2 + 1 + kExponentDigits];
  std::size_t length = 0;
  auto put = [&out, &length](const char* from, const char* to) {
    std::memcpy(out + length, from, static_cast<std::size_t>(to - from));
    length += static_cast<std::size_t>(to - from);
  };
  put(first, number.first);  // the sign
  if (number.mantissaEnd - number.first <= kShortMantissa) {
    put(number.first, number.mantissaEnd);
  } else {
    // The kept digits as an integer, one more digit when any beyond them was
    // nonzero, and the point when there is one, so that what follows goes on
    // the same part of the mantissa: the value is then that times 10^(the
    // digits' scale).
    const fast::SignificantDigits digits = fast::significantDigits(
        number.first, number.mantissaEnd, kKeptDigits,
        [&out, &length](unsigned digit) { out[length++] = static_cast<char>('0' + digit); });
    if (digits.kept == 0) out[length++] = '0';
    scale += digits.scale;
    if (digits.dropped) {
      out[length++] = '1';
      scale -= 1;
    }
    if (number.point) out[length++] = '.';
  }
  if (number.exponentDigits != number.mantissaEnd) {
    put(number.mantissaEnd, number.exponentDigits);  // the exponent's letter and sign
    const char* significant = number.exponentDigits;
    while (significant != end && *significant == '0') ++significant;
    if (static_cast<std::size_t>(end - significant) > kExponentDigits) {
      out[length++] = '1';
      std::memset(out + length, '0', kExponentDigits);
      length += kExponentDigits;
    } else if (significant == end && significant != number.exponentDigits) {
      out[length++] = '0';
    } else {
      put(significant, end);
    }
  }
  std::memcpy(first, out, length);
  return first + length;
}

bool convertNumber(std::string_view text, double& out, bool exactOnly) {
  return onPaddedCopy(text, [&](const char* first, const char* last) {
    const fast::NumberParts number = fast::scanParts(first);
    return number.whole && number.end == last && convertParts(number, 0, out, exactOnly);
  });
}

}  // namespace velmora::detail

namespace velmora {

bool numberOfText(std::string_view text, double& value) { return detail::convertNumber(text, value, false); }

}  // namespace velmora
