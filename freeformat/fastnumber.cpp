#include "fastnumber.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

namespace velmora::detail {
namespace {

__extension__ typedef unsigned __int128 u128;  // NOLINT: the one 128-bit type

constexpr int kMaxDigits = 19;       // any 19 digits fit in 64 bits
constexpr int kMaxExactPower = 22;   // 10^22 is the largest power of ten a double holds exactly
constexpr std::uint64_t kExactMantissa = std::uint64_t{1} << 53;

constexpr double kPowersOfTen[kMaxExactPower + 1] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

constexpr std::uint64_t powerOfFive(int k) {
  std::uint64_t value = 1;
  for (int i = 0; i < k; ++i) value *= 5;
  return value;
}
constexpr std::uint64_t kPowersOfFive[kMaxExactPower + 1] = {
    powerOfFive(0),  powerOfFive(1),  powerOfFive(2),  powerOfFive(3),  powerOfFive(4),
    powerOfFive(5),  powerOfFive(6),  powerOfFive(7),  powerOfFive(8),  powerOfFive(9),
    powerOfFive(10), powerOfFive(11), powerOfFive(12), powerOfFive(13), powerOfFive(14),
    powerOfFive(15), powerOfFive(16), powerOfFive(17), powerOfFive(18), powerOfFive(19),
    powerOfFive(20), powerOfFive(21), powerOfFive(22)};

bool isDigit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;

// How many of the eight bytes of `word` (in memory order) are ASCII digits
// before the first that is not. Bytes after that one may be anything.
int digitRun(std::uint64_t word) {
  std::uint64_t notDigit = ((word + 0x46 * kOnes) | (word - 0x30 * kOnes)) & (0x80 * kOnes);
  return notDigit == 0 ? 8 : __builtin_ctzll(notDigit) / 8;
}

// The value of the first n digits of `word` (0 <= n <= 8), the first byte
// the most significant: the digits are moved to the top and the bytes they
// leave become leading zeros, so one set of multiplications serves every n.
std::uint64_t digitsValue(std::uint64_t word, int n) {
  std::uint64_t digits = word - 0x30 * kOnes;
  digits = n == 0 ? 0 : digits << (64 - 8 * n);
  digits = digits * 10 + (digits >> 8);
  digits = (((digits & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
            (((digits >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
           32;
  return digits & 0xFFFFFFFFULL;
}

constexpr std::uint64_t kTens[9] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// 2^e for an exponent in the normal range.
double powerOfTwo(int e) {
  std::uint64_t bits = static_cast<std::uint64_t>(1023 + e) << 52;
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// value = integer x 2^scale, rounded once to 53 bits (halfway to even);
// `inexact` says the integer was itself truncated (a nonzero remainder below it).
// The integer has more than 53 bits.
double roundToDouble(std::uint64_t integer, bool inexact, int scale) {
  int shift = 64 - __builtin_clzll(integer) - 53;
  std::uint64_t mantissa = integer >> shift;
  std::uint64_t rest = integer & ((std::uint64_t{1} << shift) - 1);
  std::uint64_t half = std::uint64_t{1} << (shift - 1);
  // Written without branches: which way a value rounds is as good as random.
  bool up = (rest > half) | ((rest == half) & (inexact | ((mantissa & 1) != 0)));
  mantissa += up ? 1 : 0;
  if (mantissa == kExactMantissa << 1) {  // rounded up to the next power of two
    mantissa >>= 1;
    ++shift;
  }
  return static_cast<double>(mantissa) * powerOfTwo(shift + scale);
}

double roundToDouble(u128 integer, int scale) {
  auto high = static_cast<std::uint64_t>(integer >> 64);
  if (high == 0) return roundToDouble(static_cast<std::uint64_t>(integer), false, scale);
  // Keep the top 64 bits; what falls below them only matters as "nonzero".
  int drop = 64 - __builtin_clzll(high);
  auto top = static_cast<std::uint64_t>(integer >> drop);
  bool inexact = (integer & ((u128{1} << drop) - 1)) != 0;
  return roundToDouble(top, inexact, scale + drop);
}

// 5^k shifted up until its top bit is set, with the reciprocal that turns a
// division by it into a multiplication ("division by invariant integers
// using multiplication": inverse = floor((2^128 - 1) / divisor) - 2^64).
struct Reciprocal {
  std::uint64_t divisor;
  std::uint64_t inverse;
};

constexpr Reciprocal makeReciprocal(int k) {
  std::uint64_t divisor = powerOfFive(k) << __builtin_clzll(powerOfFive(k));
  return {divisor, static_cast<std::uint64_t>(~u128{0} / divisor - (u128{1} << 64))};
}

template <std::size_t... K>
constexpr std::array<Reciprocal, sizeof...(K)> makeReciprocals(std::index_sequence<K...>) {
  return {makeReciprocal(static_cast<int>(K))...};
}
constexpr auto kReciprocals = makeReciprocals(std::make_index_sequence<kMaxExactPower + 1>());

// The quotient and remainder of (high, low) by a normalized divisor, exact,
// for high < divisor (so the quotient fits in 64 bits).
std::uint64_t divide(std::uint64_t high, std::uint64_t low, const Reciprocal& by,
                     std::uint64_t& remainder) {
  u128 estimate = u128{by.inverse} * high + ((u128{high + 1} << 64) | low);
  auto quotient = static_cast<std::uint64_t>(estimate >> 64);
  auto fraction = static_cast<std::uint64_t>(estimate);
  std::uint64_t rest = low - quotient * by.divisor;
  // The first correction is needed about half the time: a mask, not a branch.
  std::uint64_t mask = -static_cast<std::uint64_t>(rest > fraction);
  quotient += mask;
  rest += by.divisor & mask;
  if (rest >= by.divisor) {
    ++quotient;
    rest -= by.divisor;
  }
  remainder = rest;
  return quotient;
}

// The correctly rounded value of digits x 10^exponent, |exponent| <= 22.
double convertExactly(std::uint64_t digits, int exponent) {
  if (digits <= kExactMantissa) {
    // Both operands are exact, so the one rounding of the product or quotient
    // is the only one.
    auto value = static_cast<double>(digits);
    return exponent >= 0 ? value * kPowersOfTen[exponent] : value / kPowersOfTen[-exponent];
  }
  if (exponent >= 0) {
    // digits x 5^e is an exact integer of at most 116 bits; the 2^e is exact.
    u128 product = u128{digits} * kPowersOfFive[exponent];
    return roundToDouble(product, exponent);
  }
    // digits / 5^k, with enough quotient bits (63 or 64) to round, and the
  // remainder telling whether anything was cut off; the 2^-k is exact. Both
  // are shifted so that the divisor's top bit is set (the quotient is the same).
  int k = -exponent;
  const Reciprocal& reciprocal = kReciprocals[static_cast<std::size_t>(k)];
  int shift = 127 - (64 - __builtin_clzll(digits));
  u128 numerator = u128{digits} << shift;
  std::uint64_t remainder;
  std::uint64_t quotient = divide(static_cast<std::uint64_t>(numerator >> 64),
                                  static_cast<std::uint64_t>(numerator), reciprocal, remainder);
  // The divisor was shifted up by as much as 5^k lacks of 64 bits.
  int divisorShift = __builtin_clzll(kPowersOfFive[k]);
  return roundToDouble(quotient, remainder != 0, divisorShift - shift - k);
}

}  // namespace

const char* parseCommonNumber(const char* p, double& out) {
  // Signs without branches: in real data they are as good as random.
  bool negative = *p == '-';
  p += (*p == '-') | (*p == '+');
  std::uint64_t digits = 0;
  const char* first = p;
  while (isDigit(*p)) {
    digits = digits * 10 + static_cast<unsigned>(*p - '0');
    ++p;
  }
  int count = static_cast<int>(p - first);
  int fraction = 0;
  if (*p == '.') {
    ++p;
    const char* fractionStart = p;
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    int run = digitRun(word);
    if (run < 8) {
      // A short fraction (fixed decimals): all of it at once, no loop.
      digits = digits * kTens[run] + digitsValue(word, run);
      p += run;
    } else if (count <= kMaxDigits - 16) {
      // A long one (17 significant digits): two words, then what is left.
      digits = digits * 100000000 + digitsValue(word, 8);
      p += 8;
      std::memcpy(&word, p, sizeof word);
      if (digitRun(word) == 8) {
        digits = digits * 100000000 + digitsValue(word, 8);
        p += 8;
      }
    }
    while (isDigit(*p) && count + (p - fractionStart) < kMaxDigits) {
      digits = digits * 10 + static_cast<unsigned>(*p - '0');
      ++p;
    }
    fraction = static_cast<int>(p - fractionStart);
    if (isDigit(*p)) return nullptr;  // more digits than the fast forms take
  }
  count += fraction;
  if (count == 0 || count > kMaxDigits) return nullptr;

  int exponent = 0;
  char c = *p;
  if (c == 'e' || c == 'E' || c == 'd' || c == 'D' || c == '+' || c == '-') {
    ++p;
    bool exponentNegative = c == '-';  // "1.5+3": the sign alone starts the exponent
    if (c != '+' && c != '-') {
      exponentNegative = *p == '-';
      p += (*p == '-') | (*p == '+');
    }
    const char* exponentStart = p;
    while (isDigit(*p) && p - exponentStart < 4) {
      exponent = exponent * 10 + (*p - '0');
      ++p;
    }
    if (p == exponentStart || isDigit(*p)) return nullptr;
    if (exponentNegative) exponent = -exponent;
  }
  exponent -= fraction;
  if (exponent < -kMaxExactPower || exponent > kMaxExactPower) return nullptr;
  // The sign as a bit, not a branch.
  double magnitude = convertExactly(digits, exponent);
  std::uint64_t bits;
  std::memcpy(&bits, &magnitude, sizeof bits);
  bits |= static_cast<std::uint64_t>(negative) << 63;
  std::memcpy(&out, &bits, sizeof out);
  return p;
}

}  // namespace velmora::detail
