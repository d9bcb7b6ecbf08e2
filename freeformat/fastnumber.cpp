#include "fastnumber.h"

#include <cstdint>
#include <cstring>

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

// Eight ASCII digits at once: true when every byte of the word is '0'..'9'.
bool areEightDigits(std::uint64_t word) {
  return ((word + 0x4646464646464646ULL) | (word - 0x3030303030303030ULL)) &
                 0x8080808080808080ULL
             ? false
             : true;
}

// Their value, the first byte being the most significant digit.
std::uint32_t eightDigitsValue(std::uint64_t word) {
  word -= 0x3030303030303030ULL;
  word = word * 10 + (word >> 8);
  word = (((word & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
          (((word >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
         32;
  return static_cast<std::uint32_t>(word);
}

int bitLength(u128 value) {
  auto high = static_cast<std::uint64_t>(value >> 64);
  if (high != 0) return 128 - __builtin_clzll(high);
  auto low = static_cast<std::uint64_t>(value);
  return low == 0 ? 0 : 64 - __builtin_clzll(low);
}

// 2^e for an exponent in the normal range.
double powerOfTwo(int e) {
  std::uint64_t bits = static_cast<std::uint64_t>(1023 + e) << 52;
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// value = integer x 2^scale, rounded once to 53 bits (halfway to even);
// `inexact` says the integer was itself truncated (a nonzero remainder below it).
double roundToDouble(u128 integer, bool inexact, int scale) {
  int shift = bitLength(integer) - 53;
  auto mantissa = static_cast<std::uint64_t>(integer >> shift);
  u128 rest = integer & ((u128{1} << shift) - 1);
  u128 half = u128{1} << (shift - 1);
  if (rest > half || (rest == half && (inexact || (mantissa & 1) != 0))) {
    ++mantissa;
    if (mantissa == kExactMantissa << 1) {
      mantissa >>= 1;
      ++shift;
    }
  }
  return static_cast<double>(mantissa) * powerOfTwo(shift + scale);
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
    return roundToDouble(product, false, exponent);
  }
  // digits / 5^k, with enough quotient bits (63 or 64) to round, and the
  // remainder telling whether anything was cut off; the 2^-k is exact.
  int k = -exponent;
  std::uint64_t divisor = kPowersOfFive[k];
  int shift = 63 - (64 - __builtin_clzll(digits)) + (64 - __builtin_clzll(divisor));
  u128 numerator = u128{digits} << shift;
  auto quotient = static_cast<std::uint64_t>(numerator / divisor);
  bool inexact = numerator - u128{quotient} * divisor != 0;
  return roundToDouble(quotient, inexact, -shift - k);
}

}  // namespace

const char* parseCommonNumber(const char* p, double& out) {
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
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
    if (count <= kMaxDigits - 16 && areEightDigits(word)) {
      digits = digits * 100000000 + eightDigitsValue(word);
      p += 8;
      std::memcpy(&word, p, sizeof word);
      if (areEightDigits(word)) {
        digits = digits * 100000000 + eightDigitsValue(word);
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
    bool exponentNegative = false;
    if (c == '+' || c == '-') {
      exponentNegative = c == '-';  // "1.5+3": the sign alone starts the exponent
    } else if (*p == '+' || *p == '-') {
      exponentNegative = *p == '-';
      ++p;
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
  double magnitude = convertExactly(digits, exponent);
  out = negative ? -magnitude : magnitude;
  return p;
}

}  // namespace velmora::detail
