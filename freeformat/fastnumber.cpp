#include "fastnumber.h"

#include <cstdint>
#include <cstring>
#include <limits>

#include "powers_of_five.h"

namespace velmora::detail {
namespace {

__extension__ typedef unsigned __int128 u128;  // NOLINT: the one 128-bit type

constexpr int kMaxDigits = 19;       // any 19 digits fit in 64 bits
constexpr int kMaxExponentDigits = 4;
constexpr int kMaxExactPower = 22;   // 10^22 is the largest power of ten a double holds exactly
constexpr std::uint64_t kExactMantissa = std::uint64_t{1} << 53;
constexpr int kMantissaBits = 52;    // stored bits of a double's significand
constexpr int kExponentBias = 1023;
constexpr int kInfiniteExponent = 0x7FF;

constexpr double kPowersOfTen[kMaxExactPower + 1] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

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

double fromBits(std::uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// The Eisel-Lemire method: w x 10^q (w nonzero, q within the table) is
// w x 5^q x 2^q; w x 5^q is taken from the top of a 64 x 128-bit product with
// the table's significand of 5^q, whose error lies below the bits kept. False
// when the bits kept cannot decide the rounding: the product's low bits are
// all ones (the error might carry into them), the value may lie exactly
// halfway between two doubles, or the result is subnormal.
bool convertEiselLemire(std::uint64_t w, int q, double& out) {
  int leadingZeros = __builtin_clzll(w);
  w <<= leadingZeros;
  const PowerOfFive& power = kPowersOfFive128[q - kSmallestPowerOfFive];
  u128 product = u128{w} * power.high;
  auto high = static_cast<std::uint64_t>(product >> 64);
  auto low = static_cast<std::uint64_t>(product);
  // 55 bits are kept (the significand, a rounding bit, one for the leading
  // bit's position); below them, nine bits of margin. When those are all
  // ones the second half of the table entry may carry into what is kept.
  constexpr std::uint64_t kMargin = 0x1FF;
  if ((high & kMargin) == kMargin) {
    u128 second = u128{w} * power.low;
    auto secondHigh = static_cast<std::uint64_t>(second >> 64);
    low += secondHigh;
    high += low < secondHigh ? 1 : 0;
    if (low == std::numeric_limits<std::uint64_t>::max()) return false;
  }
  int upperBit = static_cast<int>(high >> 63);
  int shift = upperBit + 64 - kMantissaBits - 3;
  std::uint64_t mantissa = high >> shift;
  // floor(log2(10^q)) + 63 is the binary exponent of the table's significand.
  int exponent = (((152170 + 65536) * q) >> 16) + 63 + upperBit - leadingZeros + kExponentBias;
  if (exponent <= 0) return false;  // subnormal: the general rules round it
  if (low <= 1 && (mantissa & 3) == 1 && (mantissa << shift) == high) return false;  // maybe a tie
  mantissa += mantissa & 1;  // round half up on the extra bit: ties were excluded above
  mantissa >>= 1;
  if (mantissa >= (std::uint64_t{2} << kMantissaBits)) {  // rounded up to the next power of two
    mantissa = std::uint64_t{1} << kMantissaBits;
    ++exponent;
  }
  mantissa &= ~(std::uint64_t{1} << kMantissaBits);
  if (exponent >= kInfiniteExponent) {
    out = std::numeric_limits<double>::infinity();
    return true;
  }
  out = fromBits(mantissa | static_cast<std::uint64_t>(exponent) << kMantissaBits);
  return true;
}

// The correctly rounded magnitude of w x 10^q, or false when the fast tiers
// cannot decide it.
bool convert(std::uint64_t w, int q, double& out) {
  if (w <= kExactMantissa && q >= -kMaxExactPower && q <= kMaxExactPower) {
    // Both operands are exact, so the one rounding of the product or quotient
    // is the only one.
    auto value = static_cast<double>(w);
    out = q >= 0 ? value * kPowersOfTen[q] : value / kPowersOfTen[-q];
    return true;
  }
  if (w == 0 || q < kSmallestPowerOfFive) {
    out = 0;  // below 10^-324 even with 19 digits: nearer zero than any subnormal
    return true;
  }
  if (q > kLargestPowerOfFive) {
    out = std::numeric_limits<double>::infinity();
    return true;
  }
  return convertEiselLemire(w, q, out);
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
  if (count > kMaxDigits) return nullptr;
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
    while (isDigit(*p) && p - exponentStart < kMaxExponentDigits) {
      exponent = exponent * 10 + (*p - '0');
      ++p;
    }
    if (p == exponentStart || isDigit(*p)) return nullptr;
    if (exponentNegative) exponent = -exponent;
  }
  double magnitude;
  if (!convert(digits, exponent - fraction, magnitude)) return nullptr;
  // The sign as a bit, not a branch.
  std::uint64_t bits;
  std::memcpy(&bits, &magnitude, sizeof bits);
  bits |= static_cast<std::uint64_t>(negative) << 63;
  std::memcpy(&out, &bits, sizeof out);
  return p;
}

}  // namespace velmora::detail
