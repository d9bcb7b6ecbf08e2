// The common number forms, parsed and converted in one pass: an optional sign,
// at most 19 digits with an optional point, an optional exponent of at most
// four digits written with E, e, D or d (or a sign alone). Two shapes are
// taken in a straight line: the "%.16e" one (17 significant digits, a
// two-digit exponent) and short fixed decimals and integers (at most eight
// bytes). The conversion is exact: Clinger's case (at most 2^53 and a scale
// within 10^+-22, one exact multiplication or division), otherwise the
// Eisel-Lemire method with 128-bit powers of five; a value it cannot decide (a
// possible exact halfway point, a subnormal result) is declined. Private to
// the number conversion and the reader; inline, as it runs once per value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "powers_of_five.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora::detail {

namespace fast {

__extension__ typedef unsigned __int128 u128;  // NOLINT: the one 128-bit type

inline constexpr int kMaxDigits = 19;       // any 19 digits fit in 64 bits
inline constexpr int kMaxExponentDigits = 4;
inline constexpr int kMaxExactPower = 22;   // 10^22 is the largest power of ten a double holds exactly
inline constexpr std::uint64_t kExactMantissa = std::uint64_t{1} << 53;
inline constexpr int kMantissaBits = 52;    // stored bits of a double's significand
inline constexpr int kExponentBias = 1023;
inline constexpr int kInfiniteExponent = 0x7FF;

inline constexpr double kPowersOfTen[kMaxExactPower + 1] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline bool isDigit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;

// How many of the eight bytes of `word` (in memory order) are ASCII digits
// before the first that is not. Bytes after that one may be anything.
inline int digitRun(std::uint64_t word) {
  std::uint64_t notDigit = ((word + 0x46 * kOnes) | (word - 0x30 * kOnes)) & (0x80 * kOnes);
  return notDigit == 0 ? 8 : __builtin_ctzll(notDigit) / 8;
}

// The value of eight bytes that each hold a digit's value (0 to 9), the
// first byte the most significant: pairs, then fours, then all eight, each
// step one multiplication that adds the higher part times the power of ten to
// the lower.
inline std::uint64_t digitBytesValue(std::uint64_t digits) {
  digits = digits * 10 + (digits >> 8);
  digits = (((digits & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
            (((digits >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
           32;
  return digits & 0xFFFFFFFFULL;
}

// The value of the first n digits of `word` (1 <= n <= 8), the first byte
// the most significant: the digits are moved to the top and the bytes they
// leave become leading zeros, so one set of multiplications serves every n.
// The bytes after the digits may be anything: a borrow from one of them when
// '0' is taken off goes to the bytes above it, which the shift drops.
inline std::uint64_t leadingDigitsValue(std::uint64_t word, std::size_t n) {
  return digitBytesValue((word - 0x30 * kOnes) << (64 - 8 * n));
}

// The same for 0 <= n <= 8.
inline std::uint64_t digitsValue(std::uint64_t word, int n) {
  std::uint64_t digits = word - 0x30 * kOnes;
  return digitBytesValue(n == 0 ? 0 : digits << (64 - 8 * n));
}

// The low n bytes set, for 0 <= n <= 7: a table lookup is cheaper than a
// shift by a count held in a register.
inline constexpr std::uint64_t kLowBytes[8] = {0,
                                               0xFF,
                                               0xFFFF,
                                               0xFFFFFF,
                                               0xFFFFFFFF,
                                               0xFFFFFFFFFF,
                                               0xFFFFFFFFFFFF,
                                               0xFFFFFFFFFFFFFF};

// `word` with its byte at `point` (0 to 7) cut out: the bytes below it stay,
// the bytes above it move down by one.
inline std::uint64_t withoutPoint(std::uint64_t word, std::size_t point) {
  const std::uint64_t below = kLowBytes[point];
  return (word & below) | ((word >> 8) & ~below);
}

// The value of eight digits.
inline std::uint64_t eightDigitsValue(std::uint64_t word) { return digitBytesValue(word - 0x30 * kOnes); }

inline constexpr std::uint64_t kTens[9] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

inline double fromBits(std::uint64_t bits) {
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
// kNormal: the caller knows the result is a normal double, far from both
// ends of the range, so neither end is checked.
template <bool kNormal = false>
inline bool convertEiselLemire(std::uint64_t w, int q, double& out) {
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
  if (!kNormal && exponent <= 0) return false;  // subnormal: the general rules round it
  if (low <= 1 && (mantissa & 3) == 1 && (mantissa << shift) == high) return false;  // maybe a tie
  mantissa += mantissa & 1;  // round half up on the extra bit: ties were excluded above
  mantissa >>= 1;
  if (mantissa >= (std::uint64_t{2} << kMantissaBits)) {  // rounded up to the next power of two
    mantissa = std::uint64_t{1} << kMantissaBits;
    ++exponent;
  }
  mantissa &= ~(std::uint64_t{1} << kMantissaBits);
  if (!kNormal && exponent >= kInfiniteExponent) {
    out = std::numeric_limits<double>::infinity();
    return true;
  }
  out = fromBits(mantissa | static_cast<std::uint64_t>(exponent) << kMantissaBits);
  return true;
}

// The correctly rounded magnitude of w x 10^q, or false when the fast tiers
// cannot decide it.
inline bool convert(std::uint64_t w, int q, double& out) {
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

// The sign as a bit, not a branch.
inline double withSign(double magnitude, bool negative) {
  std::uint64_t bits;
  std::memcpy(&bits, &magnitude, sizeof bits);
  bits |= static_cast<std::uint64_t>(negative) << 63;
  return fromBits(bits);
}

inline bool isEightDigits(std::uint64_t word) {
  return (((word + 0x46 * kOnes) | (word - 0x30 * kOnes)) & (0x80 * kOnes)) == 0;
}

// Sixteen digits from two eight-byte words: false unless every byte is a
// digit. Works on any target; the reference for the SSE2 form below.
inline bool sixteenDigitsScalar(const char* p, std::uint64_t& value) {
  std::uint64_t high;
  std::uint64_t low;
  std::memcpy(&high, p, sizeof high);
  std::memcpy(&low, p + 8, sizeof low);
  if (!isEightDigits(high) || !isEightDigits(low)) return false;
  value = eightDigitsValue(high) * 100000000 + eightDigitsValue(low);
  return true;
}

#if defined(__SSE2__)
// The same with one 16-byte register. SSE2 is part of every x86-64, so no
// run-time check is needed: pairs of digits, then fours, then eights, each
// step one multiply-add of neighbouring lanes.
// The value of sixteen digits, each byte already less '0'.
inline std::uint64_t sixteenDigitsValue(__m128i digits) {
  // The first byte of each 16-bit lane is its low byte and the higher digit.
  __m128i higher = _mm_and_si128(digits, _mm_set1_epi16(0xFF));
  __m128i pairs = _mm_add_epi16(_mm_mullo_epi16(higher, _mm_set1_epi16(10)), _mm_srli_epi16(digits, 8));
  __m128i fours = _mm_madd_epi16(pairs, _mm_set1_epi32(100 | 1 << 16));
  __m128i eights = _mm_madd_epi16(_mm_packs_epi32(fours, fours), _mm_set1_epi32(10000 | 1 << 16));
  auto both = static_cast<std::uint64_t>(_mm_cvtsi128_si64(eights));
  return (both & 0xFFFFFFFF) * 100000000 + (both >> 32);
}

inline bool sixteenDigitsSse2(const char* p, std::uint64_t& value) {
  __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i digits = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
  __m128i nine = _mm_set1_epi8(9);
  if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(digits, nine), nine)) != 0xFFFF) return false;
  value = sixteenDigitsValue(digits);
  return true;
}
#endif

inline bool sixteenDigits(const char* p, std::uint64_t& value) {
#if defined(__SSE2__)
  return sixteenDigitsSse2(p, value);
#else
  return sixteenDigitsScalar(p, value);
#endif
}

// The shape numerical programs write most ("%.16e", 17 significant digits):
// one digit, a point, sixteen digits, an exponent letter (E, e, D or d), a
// sign and two digits, then a byte that is not a digit, taken in a straight
// line. Returns nullptr for any other shape (the general fast parse below
// takes over), else the byte after it. Works on any target; the reference
// for the SSE2 form below.
inline const char* parseSeventeenDigitsScalar(const char* p, std::uint64_t& digits, int& exponent) {
  // The point first: it turns away most other shapes at once.
  if (p[1] != '.' || !isDigit(p[0])) return nullptr;
  std::uint64_t sixteen;
  if (!sixteenDigitsScalar(p + 2, sixteen)) return nullptr;
  char letter = static_cast<char>(p[18] | 0x20);  // lower case
  char sign = p[19];
  if ((letter != 'e' && letter != 'd') || (sign != '+' && sign != '-') || !isDigit(p[20]) ||
      !isDigit(p[21]) || isDigit(p[22])) {
    return nullptr;
  }
  digits = static_cast<std::uint64_t>(p[0] - '0') * 10000000000000000ULL + sixteen;
  int written = (p[20] - '0') * 10 + (p[21] - '0');
  exponent = (sign == '-' ? -written : written) - 16;
  return p + 22;
}

#if defined(__SSE2__)
// The same shape checked with two sixteen-byte loads: the sixteen digits
// after the point, and the bytes from p[7] to p[22], where each byte of the
// exponent and the one after it must lie in a range of its own (a letter
// folded to lower case, then 'd' or 'e'; a sign; two digits; then anything
// but a digit, the range that wraps around from ':' to '/').
inline const char* parseSeventeenDigitsSse2(const char* p, std::uint64_t& digits, int& exponent) {
  if (p[1] != '.' || !isDigit(p[0])) return nullptr;
  __m128i sixteen = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2)), _mm_set1_epi8('0'));
  __m128i nine = _mm_set1_epi8(9);
  __m128i digitsIn = _mm_cmpeq_epi8(_mm_max_epu8(sixteen, nine), nine);
  // Bytes p[7]..p[17] are digits checked above: any byte passes here.
  const __m128i lowerCase = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0, 0);
  const __m128i low = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'd', '+', '0', '0', ':');
  const __m128i span = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 2, 9, 9, -11);
  __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 7));
  tail = _mm_sub_epi8(_mm_or_si128(tail, lowerCase), low);
  __m128i tailIn = _mm_cmpeq_epi8(_mm_max_epu8(tail, span), span);
  char sign = p[19];
  // The sign's range holds a comma too.
  if (_mm_movemask_epi8(_mm_and_si128(digitsIn, tailIn)) != 0xFFFF || sign == ',') return nullptr;
  digits = static_cast<std::uint64_t>(p[0] - '0') * 10000000000000000ULL + sixteenDigitsValue(sixteen);
  int written = (p[20] - '0') * 10 + (p[21] - '0');
  exponent = (sign == '-' ? -written : written) - 16;
  return p + 22;
}
#endif

inline const char* parseSeventeenDigits(const char* p, std::uint64_t& digits, int& exponent) {
#if defined(__SSE2__)
  return parseSeventeenDigitsSse2(p, digits, exponent);
#else
  return parseSeventeenDigitsScalar(p, digits, exponent);
#endif
}

// Bytes that would carry a number on past its digits: a point or the start
// of an exponent.
inline constexpr bool isNumberContinuation(char c) {
  return c == '.' || c == 'e' || c == 'E' || c == 'd' || c == 'D' || c == '+' || c == '-';
}
inline constexpr auto kContinuation = [] {
  struct Table {
    bool byByte[256];
  } table{};
  for (int c = 0; c < 256; ++c) table.byByte[c] = isNumberContinuation(static_cast<char>(c));
  return table;
}();

// The shapes of fixed decimals and integers: digits, optionally a point and
// more digits, at most eight bytes in all and no exponent ("-10.7692",
// "123456", "0.25"), from one eight-byte load: the point is cut out and the
// digits on both sides are read as one number. Returns nullptr for any other
// shape, else the byte after it; the value is digits x 10^-fraction with at
// most eight digits, so Clinger's case converts it exactly.
// `word` holds the eight bytes from p.
inline const char* parseShortDecimal(const char* p, std::uint64_t word, std::uint64_t& digits, int& fraction) {
  // The top bit of each byte that is not a digit, computed without carries
  // between bytes, so that every such byte is marked (not only the first):
  // the end of the value is then the second mark, found with no wait for the
  // point's position (the next value's start depends on it).
  std::uint64_t low = word & (0x7F * kOnes);
  std::uint64_t notDigit = (~((low | 0x80 * kOnes) - 0x30 * kOnes) | (low + 0x46 * kOnes) | word) & (0x80 * kOnes);
  if (notDigit == 0) return nullptr;  // eight digits or more
  int integer = __builtin_ctzll(notDigit) / 8;
  std::uint64_t after = word >> (8 * integer);  // the byte after the digits comes first
  if ((after & 0xFF) != '.') {
    if (integer == 0 || kContinuation.byByte[after & 0xFF]) return nullptr;
    digits = digitsValue(word, integer);
    fraction = 0;
    return p + integer;
  }
  std::uint64_t beyond = notDigit & (notDigit - 1);  // the marks after the point
  int used = beyond == 0 ? 8 : __builtin_ctzll(beyond) / 8;
  int decimals = used - integer - 1;
  if (integer + decimals == 0 || (used == 8 && isDigit(p[8])) ||
      kContinuation.byByte[static_cast<unsigned char>(p[used])]) {
    return nullptr;
  }
  // The point cut out as withoutPoint does, with a shift: with the table
  // the compiler lays out the row loop worse. What lies beyond the digits is
  // shifted away by digitsValue.
  std::uint64_t integerMask = (std::uint64_t{1} << (8 * integer)) - 1;
  digits = digitsValue((word & integerMask) | ((word >> 8) & ~integerMask), integer + decimals);
  fraction = decimals;
  return p + used;
}

}  // namespace fast

// `p` points at the value's first byte. The byte that stops the value must
// be readable and twenty more after it (the first is never part of a value:
// the reader keeps a line-feed sentinel and padding after its valid bytes).
// Returns the byte after the value when the value has a common form and was
// decided, with its nearest double in `out`; nullptr otherwise (the general
// rules decide then), `out` unchanged. The value's end is not checked against
// the separators: the caller does that.
[[gnu::always_inline]] inline const char* parseCommonNumber(const char* p, double& out) {
  using namespace fast;
  // Signs without branches: in real data they are as good as random. The
  // eight bytes after a sign and those of an unsigned value are both loaded
  // at once, not one after the sign is known: the next value's start waits
  // on this value's length, which is found from them.
  std::uint64_t unsignedWord;
  std::uint64_t signedWord;
  std::memcpy(&unsignedWord, p, sizeof unsignedWord);
  std::memcpy(&signedWord, p + 1, sizeof signedWord);
  bool negative = *p == '-';
  bool hasSign = negative | (*p == '+');
  p += hasSign;
  {
    std::uint64_t digits;
    int exponent;
    const char* end = parseSeventeenDigits(p, digits, exponent);
    double magnitude;
    if (end != nullptr) {
      // Seventeen digits are never an exact double's worth of Clinger's case
      // unless they start with zeros, and with a two-digit exponent the value
      // lies between 10^-115 and 10^100, a normal double: Eisel-Lemire decides
      // at once, with no check of the range's ends.
      if (digits == 0) {
        magnitude = 0;
      } else if (!convertEiselLemire<true>(digits, exponent, magnitude)) {
        return nullptr;
      }
      out = withSign(magnitude, negative);
      return end;
    }
    end = parseShortDecimal(p, hasSign ? signedWord : unsignedWord, digits, exponent);
    if (end != nullptr) {
      out = withSign(static_cast<double>(digits) / kPowersOfTen[exponent], negative);
      return end;
    }
  }
  // The integer part: up to seven digits in one eight-byte step, longer ones
  // one digit at a time.
  const char* first = p;
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  int run = digitRun(word);
  std::uint64_t digits = digitsValue(word, run);
  p += run;
  if (run == 8) {
    while (isDigit(*p)) {
      digits = digits * 10 + static_cast<unsigned>(*p - '0');
      ++p;
    }
  }
  int count = static_cast<int>(p - first);
  if (count > kMaxDigits) return nullptr;
  int fraction = 0;
  if (*p == '.') {
    ++p;
    const char* fractionStart = p;
    std::memcpy(&word, p, sizeof word);
    run = digitRun(word);
    if (run < 8) {
      // A short fraction (fixed decimals): all of it at once, no loop.
      digits = digits * kTens[run] + digitsValue(word, run);
      p += run;
    } else if (count <= kMaxDigits - 16) {
      // A long one (17 significant digits): two words, then what is left.
      digits = digits * 100000000 + eightDigitsValue(word);
      p += 8;
      std::memcpy(&word, p, sizeof word);
      if (digitRun(word) == 8) {
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
    bool exponentNegative = c == '-';  // "1.5+3": the sign alone starts the exponent
    if (c != '+' && c != '-') {
      exponentNegative = *p == '-';
      p += (*p == '-') | (*p == '+');
    }
    // One to four digits, written out: a loop costs a counter.
    static_assert(kMaxExponentDigits == 4);
    if (!isDigit(*p)) return nullptr;
    exponent = *p++ - '0';
    if (isDigit(*p)) {
      exponent = exponent * 10 + (*p++ - '0');
      if (isDigit(*p)) {
        exponent = exponent * 10 + (*p++ - '0');
        if (isDigit(*p)) {
          exponent = exponent * 10 + (*p++ - '0');
          if (isDigit(*p)) return nullptr;  // more than kMaxExponentDigits
        }
      }
    }
    if (exponentNegative) exponent = -exponent;
  }
  double magnitude;
  if (!convert(digits, exponent - fraction, magnitude)) return nullptr;
  out = withSign(magnitude, negative);
  return p;
}

}  // namespace velmora::detail
