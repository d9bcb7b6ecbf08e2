// Numbers in two steps. The scanner turns the bytes of a value (an optional
// sign, digits with an optional point anywhere among them, an optional
// exponent written with E, e, D or d or with a sign alone) into its sign, at
// most 19 significant digits, a decimal exponent, whether nonzero digits were
// dropped, and the value's end; it reads every run of digits eight bytes at a
// time and knows nothing of rounding. The converter takes that to the nearest
// double: Clinger's exact case (at most 2^53 and a scale within 10^+-22, one
// exact multiplication or division), else the Eisel-Lemire method with 128-bit
// powers of five; a value it cannot decide (a possible exact halfway point, a
// subnormal result, dropped digits that might change the rounding) is
// declined. The scan's general form (scanParts) takes every form the fast
// ones decline (Inf and NaN, exponents and values of any length) and says
// where each part lies; the general rules (number.cpp) convert those parts
// by the same tiers, ending in the exact one. Which bytes are blanks, separators, exponent
// letters and signs, and the exponent's cap, come from grammar.h. Private to
// the number conversion and the reader; inline, as it runs once per value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "grammar.h"
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
inline std::uint64_t digitsValue(std::uint64_t word, int n) {
  return digitBytesValue((word - 0x30 * kOnes) << (64 - 8 * n));
}

// The value of eight digits.
inline std::uint64_t eightDigitsValue(std::uint64_t word) { return digitBytesValue(word - 0x30 * kOnes); }

// 10^n, 0 <= n <= 19.
inline constexpr std::uint64_t kTens[20] = {1,
                                           10,
                                           100,
                                           1000,
                                           10000,
                                           100000,
                                           1000000,
                                           10000000,
                                           100000000,
                                           1000000000,
                                           10000000000,
                                           100000000000,
                                           1000000000000,
                                           10000000000000,
                                           100000000000000,
                                           1000000000000000,
                                           10000000000000000,
                                           100000000000000000,
                                           1000000000000000000,
                                           10000000000000000000ULL};

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

// The exact case (Clinger's): w <= 2^53 and 10^|q| exact, so the one
// rounding of the product or quotient is the only one. exactQuotient is
// its half for q = -decimals <= 0, which the short record's read enters
// directly.
inline double exactQuotient(std::uint64_t w, std::size_t decimals) {
  return static_cast<double>(w) / kPowersOfTen[decimals];
}
inline double exactCase(std::uint64_t w, int q) {
  return q >= 0 ? static_cast<double>(w) * kPowersOfTen[q] : exactQuotient(w, static_cast<std::size_t>(-q));
}

// The correctly rounded magnitude of w x 10^q, or false when the fast tiers
// cannot decide it.
inline bool convert(std::uint64_t w, int q, double& out) {
  if (w <= kExactMantissa && q >= -kMaxExactPower && q <= kMaxExactPower) {
    out = exactCase(w, q);
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

// The exponent's letters and signs as the fast tests below see them, in one
// mask each; checked against the table of byte classes for every byte.
inline constexpr bool isExponentLetterByMask(std::uint64_t low) { return (low & 0xDE) == 0x44; }  // D, E, d, e
inline constexpr bool isSignByMask(std::uint64_t second) {  // '+' or '-' (not the ',' between them), in byte 1
  return ((second - 0x2B00) & 0xFD00) == 0;
}
inline constexpr bool kMasksAgreeWithTable = [] {
  for (unsigned c = 0; c < 256; ++c) {
    const auto byte = static_cast<unsigned char>(c);
    if (isExponentLetterByMask(c) != isExponentLetter(byte)) return false;
    if (isSignByMask(std::uint64_t{c} << 8) != ((byteClass(byte) & kSign) != 0)) return false;
    // scanExponent tells a letter from a sign by their order.
    if ((byteClass(byte) & kExponentStart) != 0 && (byte > '-') != isExponentLetter(byte)) return false;
  }
  return true;
}();
static_assert(kMasksAgreeWithTable, "the exponent's fast tests are the table's letters and signs");

// Whether a value's eight bytes from the end of its digits on open with the
// usual exponent: E, e, D or d, a sign, two digits and then a byte that is
// no digit.
inline bool isTwoDigitExponent(std::uint64_t word) {
  // Without branches: the three tests as bits.
  return (static_cast<unsigned>(isExponentLetterByMask(word)) & static_cast<unsigned>(isSignByMask(word)) &
          static_cast<unsigned>(digitRun(word >> 16) == 2)) != 0;
}

// How many bytes past the byte that stops a value the scanner may read: a
// sixteen-byte load may start at that byte.
inline constexpr std::size_t kScanPadding = 15;

inline std::uint64_t load8(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// What the scanner makes of a value's bytes: the value is
// (negative ? -1 : 1) x digits x 10^exponent, exactly unless `dropped`.
// Every member is set by a scan that succeeds.
struct ScannedNumber {
  std::uint64_t digits;   // the first (at most kMaxDigits) significant digits
  std::int64_t exponent;
  const char* end;        // the byte after the value
  bool negative;
  bool dropped;           // nonzero digits beyond the kept ones: the value lies above `digits`
};

#if defined(__SSE2__)
// The one digit test of sixteen bytes (SSE2 is part of every x86-64, so no
// run-time check is needed): bit i set when byte i is a digit. The short
// record's read applies it to its record, the scanner to a value's bytes.
// (digitLanes: the same test, each lane all ones for a digit.)
inline __m128i digitLanes(__m128i bytes) {
  const __m128i values = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
  const __m128i nine = _mm_set1_epi8(9);
  return _mm_cmpeq_epi8(_mm_max_epu8(values, nine), nine);
}
inline unsigned digitMask(__m128i bytes) { return static_cast<unsigned>(_mm_movemask_epi8(digitLanes(bytes))); }
inline __m128i load16(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline unsigned digitMask16(const char* p) { return digitMask(load16(p)); }

// The value of sixteen digits: pairs of digits, then fours, then eights, each
// step one multiply-add of neighbouring lanes.
inline std::uint64_t sixteenDigitsValue(const char* p) {
  const __m128i digits = _mm_sub_epi8(load16(p), _mm_set1_epi8('0'));
  // The first byte of each 16-bit lane is its low byte and the higher digit.
  __m128i higher = _mm_and_si128(digits, _mm_set1_epi16(0xFF));
  __m128i pairs = _mm_add_epi16(_mm_mullo_epi16(higher, _mm_set1_epi16(10)), _mm_srli_epi16(digits, 8));
  __m128i fours = _mm_madd_epi16(pairs, _mm_set1_epi32(100 | 1 << 16));
  __m128i eights = _mm_madd_epi16(_mm_packs_epi32(fours, fours), _mm_set1_epi32(10000 | 1 << 16));
  auto both = static_cast<std::uint64_t>(_mm_cvtsi128_si64(eights));
  return (both & 0xFFFFFFFF) * 100000000 + (both >> 32);
}
#else
inline unsigned digitMask16(const char* p) {
  unsigned mask = 0;
  for (int i = 0; i < 16; ++i) mask |= static_cast<unsigned>(isDigit(p[i])) << i;
  return mask;
}
inline std::uint64_t sixteenDigitsValue(const char* p) {
  return eightDigitsValue(load8(p)) * 100000000 + eightDigitsValue(load8(p + 8));
}
#endif

// How many of the sixteen bytes at p are digits before the first that is
// not (16 when all are), and when all are (with kValue) their value.
template <bool kValue>
inline int sixteenDigits(const char* p, std::uint64_t& value) {
  const unsigned mask = digitMask16(p);
  if (mask != 0xFFFF) return __builtin_ctz(~mask);  // bits 16 and up of ~mask are set
  if constexpr (!kValue) return 16;
  value = sixteenDigitsValue(p);
  return 16;
}

// Adds the digits at p to `digits` (with kValue), eight at a time and then
// the few left; returns the byte after them. The digits wrap around past 19:
// the caller counts them and rescans such a value.
template <bool kValue>
inline const char* scanDigits(const char* p, std::uint64_t& digits) {
  std::uint64_t word = load8(p);
  int run = digitRun(word);
  while (run == 8) {
    if constexpr (kValue) digits = digits * 100000000 + eightDigitsValue(word);
    p += 8;
    word = load8(p);
    run = digitRun(word);
  }
  if constexpr (kValue) {
    if (run != 0) digits = digits * kTens[run] + digitsValue(word, run);
  }
  return p + run;
}

// The significant digits of a mantissa [first, end) (digits with at most one
// point), in order: keep(digit) is called for each of the first `limit`
// (leading zeros are no digits, only a position). The value of the mantissa
// is then 0.KEPT x 10^(kept + scale), or KEPT x 10^scale, exactly unless
// `dropped`.
struct SignificantDigits {
  int kept;
  std::int64_t scale;  // the power of ten of the last digit kept, less one for each digit after it
  bool dropped;        // nonzero digits beyond the kept ones
};
template <class Keep>
inline SignificantDigits significantDigits(const char* first, const char* end, int limit, Keep&& keep) {
  SignificantDigits s{0, 0, false};
  bool afterPoint = false;
  for (const char* p = first; p != end; ++p) {
    const char c = *p;
    if (c == '.') {
      afterPoint = true;
      continue;
    }
    if (s.kept == 0 && c == '0') {
      if (afterPoint) --s.scale;
      continue;
    }
    if (s.kept < limit) {
      keep(static_cast<unsigned>(c - '0'));
      ++s.kept;
      if (afterPoint) --s.scale;
    } else {
      s.dropped |= c != '0';
      if (!afterPoint) ++s.scale;
    }
  }
  return s;
}

// The low n bytes set, for 0 <= n <= 7: a table lookup is cheaper than a
// shift by a count held in a register.
inline constexpr std::uint64_t kLowBytes[8] = {0,          0xFF,         0xFFFF,         0xFFFFFF,
                                               0xFFFFFFFF, 0xFFFFFFFFFF, 0xFFFFFFFFFFFF, 0xFFFFFFFFFFFFFF};


// `word` with its byte at `point` (0 to 7) cut out: the bytes below it stay,
// the bytes above it move down by one.
inline std::uint64_t withoutPoint(std::uint64_t word, std::size_t point) {
  const std::uint64_t below = kLowBytes[point];
  return (word & below) | ((word >> 8) & ~below);
}


// The value of the n digits at p, 1 <= n <= 15.
[[gnu::always_inline]] inline std::uint64_t shortDigitsValue(const char* p, int n) {
  if (n <= 8) return digitsValue(load8(p), n);
  return eightDigitsValue(load8(p)) * kTens[n - 8] + digitsValue(load8(p + 8), n - 8);
}

// The most digits of a value the short record's read converts: any fifteen
// digits lie below 2^53, so with at most fifteen decimals the value is the
// conversion's exact case.
inline constexpr std::size_t kMaxShortDigits = 15;

// The digits of a plain decimal whose bytes a caller's masks have already
// checked, as the short record's read checks them: `size` bytes at p (after
// any sign), digits with a point at byte `integer` (none when `integer` is
// `size`), at least one digit and at most kMaxShortDigits. A value inside
// eight bytes takes a single conversion with the point cut out. Sixteen bytes
// at p must be readable.
[[gnu::always_inline]] inline std::uint64_t shortDecimalDigits(const char* p, std::size_t size, std::size_t integer) {
  if (size <= 8) {
    const std::uint64_t word = load8(p);
    if (integer == size) return digitsValue(word, static_cast<int>(size));
    return digitsValue(withoutPoint(word, integer), static_cast<int>(size - 1));
  }
  if (integer == size) return shortDigitsValue(p, static_cast<int>(size));
  const std::size_t fraction = size - integer - 1;
  std::uint64_t digits = integer == 0 ? 0 : shortDigitsValue(p, static_cast<int>(integer));
  if (fraction != 0) digits = digits * kTens[fraction] + shortDigitsValue(p + integer + 1, static_cast<int>(fraction));
  return digits;
}

// The digits of a value and its point, from p (after any sign): one test of
// sixteen bytes finds the digits before the point and those after it, so a
// value whose digits and point end inside them ("-10.7692", "1234567890",
// "123.4567891234") is converted without another look at its bytes; a value
// inside the first eight takes a single conversion with the point cut out.
// Longer runs of digits go on eight at a time. Returns the byte after them,
// with `count` the digits (leading zeros included) and `fraction` those after
// the point.
template <bool kValue>
[[gnu::always_inline]] inline const char* scanPlainDigits(const char* p, std::uint64_t& digits,
                                                          std::int64_t& count, std::int64_t& fraction) {
  const char* first = p;
  const unsigned mask = digitMask16(p);
  const int integer = __builtin_ctz(~mask);  // bits 16 and up of ~mask are set
  if (integer < 16 && p[integer] == '.') {
    const int used = integer + 1 + __builtin_ctz(~(mask >> (integer + 1)));
    if (used < 16) {
      // The whole value, point and all, inside the sixteen bytes.
      fraction = used - integer - 1;
      count = used - 1;
      if (kValue && count != 0) {
        if (used <= 8) {
          digits = digitsValue(withoutPoint(load8(p), static_cast<std::size_t>(integer)), static_cast<int>(count));
        } else {
          digits = integer == 0 ? 0 : shortDigitsValue(p, integer);
          if (fraction != 0) digits = digits * kTens[fraction] + shortDigitsValue(p + integer + 1, static_cast<int>(fraction));
        }
      }
      p += used;
    } else {
      // A fraction that goes on past the sixteen bytes.
      if (kValue && integer != 0) digits = shortDigitsValue(p, integer);
      const char* fractionStart = p + integer + 1;
      p = scanDigits<kValue>(fractionStart, digits);
      fraction = p - fractionStart;
      count = integer + fraction;
    }
  } else if (integer < 16) {
    if (kValue && integer != 0) digits = shortDigitsValue(p, integer);
    p += integer;
    count = integer;
    fraction = 0;
  } else {
    // Sixteen digits or more before the point.
    if constexpr (kValue) digits = sixteenDigitsValue(p);
    p = scanDigits<kValue>(p + 16, digits);
    count = p - first;
    fraction = 0;
    if (*p == '.') {
      const char* fractionStart = p + 1;
      p = scanDigits<kValue>(fractionStart, digits);
      fraction = p - fractionStart;
      count += fraction;
    }
  }
  return p;
}

// An exponent's digits at p, after its letter and sign: the usual one to
// three without a loop, then any number more, the value saturating at
// kCountLimit (beyond it no value of a file can bring the power of ten back
// into the range). p moves past them.
[[gnu::always_inline]] inline std::int64_t exponentDigits(const char*& p) {
  std::int64_t exponent = *p++ - '0';
  if (isDigit(*p)) {
    exponent = exponent * 10 + (*p++ - '0');
    if (isDigit(*p)) {
      exponent = exponent * 10 + (*p++ - '0');
      while (isDigit(*p)) {
        exponent = exponent < kCountLimit ? exponent * 10 + (*p - '0') : kCountLimit;
        ++p;
      }
    }
  }
  return exponent;
}

// An exponent from the byte that opens it (E, e, D or d and an optional
// sign, or a sign alone, as the byte table classes them) on: p moves to its
// first digit, and the result says whether it is negative.
[[gnu::always_inline]] inline bool exponentMark(const char*& p) {
  const bool letter = *p > '-';  // of the bytes that open an exponent, the letters lie above the signs
  p += 1 + (letter & ((p[1] == '-') | (p[1] == '+')));
  return p[-1] == '-';
}

// The exponent at p, if any, added to nothing: E, e, D or d and an optional
// sign, or a sign alone ("1.5+3"), then its digits; p moves past it. False
// when it has no digits, or is kExponentLimit or more (the general rules
// weigh it with the digits' count). kLikely: the value's form makes an
// exponent likely (a digit, the point, sixteen digits), so the usual
// two-digit one is tried before anything else.
template <bool kLikely>
[[gnu::always_inline]] inline bool scanExponent(const char*& p, std::int64_t& exponent) {
  exponent = 0;
  if (!kLikely && (byteClass(static_cast<unsigned char>(*p)) & kExponentStart) == 0) return true;
  if (const std::uint64_t word = load8(p); isTwoDigitExponent(word)) {
    // The exponent programs write most ("e+05", "D-12"): the letter, the
    // sign and two digits, taken from one word.
    const auto minus = static_cast<std::int64_t>((word >> 10) & 1);  // '-' has this bit, '+' not
    const auto tens = static_cast<std::int64_t>((word >> 16) & 0xF);
    const auto ones = static_cast<std::int64_t>((word >> 24) & 0xF);
    exponent = ((tens * 10 + ones) ^ -minus) + minus;
    p += 4;
    return true;
  }
  if (kLikely && (byteClass(static_cast<unsigned char>(*p)) & kExponentStart) == 0) return true;
  const bool exponentNegative = exponentMark(p);
  if (!isDigit(*p)) return false;
  exponent = exponentDigits(p);
  if (exponent >= kExponentLimit) return false;
  if (exponentNegative) exponent = -exponent;
  return true;
}

// The words a number value may be instead of digits, in any letter case.
enum class NumberWord : std::uint8_t { None, Infinity, NaN };

// What the scan's general form makes of a value's bytes, at any length and in
// every form: where its parts lie. Every member is set.
struct NumberParts {
  const char* first;           // the byte after the sign
  const char* integerEnd;      // the byte after the digits before the point (mantissaEnd without a point)
  const char* mantissaEnd;     // the byte after the digits and the point (after the letters of a word)
  const char* exponentDigits;  // the exponent's first digit (mantissaEnd without an exponent)
  const char* end;             // the first byte the grammar did not take
  std::int64_t exponent;       // as written, its sign applied, saturated at kCountLimit
  std::int64_t significantDigits;  // from the first nonzero digit to the mantissa's last, zeros included
  bool negative;
  bool point;
  NumberWord word;
  bool whole;  // the bytes before `end` are a number ("1.5E" followed by a blank is not: end is after the E)
};

inline bool isAsciiLetter(char c) { return static_cast<unsigned char>((c | 0x20) - 'a') < 26; }

// Which word the letters [p, p + n) spell, if any.
inline NumberWord numberWord(const char* p, std::size_t n) {
  auto spells = [p, n](const char* word) {
    if (std::strlen(word) != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
      if ((p[i] | 0x20) != word[i]) return false;
    }
    return true;
  };
  if (spells("inf") || spells("infinity")) return NumberWord::Infinity;
  return spells("nan") ? NumberWord::NaN : NumberWord::None;
}

// The scan's general form, for what the fast forms above decline and for a
// value's parts: the same digits, point and exponent, and the words Inf,
// Infinity and NaN (a run of at most eight letters). The same bytes readable
// as for scanNumber.
inline NumberParts scanParts(const char* p) {
  NumberParts n{};
  const char lead = *p;
  n.negative = lead == '-';
  p += n.negative | (lead == '+');
  n.first = p;
  std::uint64_t unused = 0;
  std::int64_t count = 0;
  std::int64_t fraction = 0;
  const char* q = scanPlainDigits<false>(p, unused, count, fraction);
  n.point = q - p > count;
  n.integerEnd = p + (count - fraction);
  n.mantissaEnd = n.exponentDigits = n.end = q;
  n.exponent = 0;
  // The digits less the leading zeros (before the point or after it).
  const char* nonzero = p;
  while (nonzero != q && (*nonzero == '0' || *nonzero == '.')) ++nonzero;
  n.significantDigits = (q - nonzero) - (n.point && nonzero < n.integerEnd ? 1 : 0);
  n.word = NumberWord::None;
  n.whole = false;
  if (count == 0) {
    if (n.point) return n;  // a point alone
    constexpr std::ptrdiff_t kLongestWord = 8;  // "infinity"
    while (q - p < kLongestWord && isAsciiLetter(*q)) ++q;
    n.integerEnd = n.mantissaEnd = n.exponentDigits = n.end = q;
    n.word = numberWord(p, static_cast<std::size_t>(q - p));
    n.whole = n.word != NumberWord::None;
    return n;
  }
  if ((byteClass(static_cast<unsigned char>(*q)) & kExponentStart) != 0) {
    const bool exponentNegative = exponentMark(q);
    n.exponentDigits = n.end = q;
    if (!isDigit(*q)) return n;  // an exponent with no digits
    const std::int64_t exponent = exponentDigits(q);
    n.exponent = exponentNegative ? -exponent : exponent;
    n.end = q;
  }
  n.whole = true;
  return n;
}

// The first kMaxDigits significant digits of a value the fast forms scanned
// whole, from the mantissa the general form finds (`first` is after the
// sign). A value of more than kExponentLimit digits is left to the general
// rules, so that the exponent always fits an int.
[[gnu::noinline]] inline bool keepSignificantDigits(const char* first, ScannedNumber& number,
                                                    std::int64_t exponentWritten) {
  if (number.end - first > kExponentLimit) return false;
  const NumberParts parts = scanParts(first);
  std::uint64_t digits = 0;
  const SignificantDigits s = significantDigits(first, parts.mantissaEnd, kMaxDigits,
                                                [&digits](unsigned digit) { digits = digits * 10 + digit; });
  number.digits = digits;
  number.dropped = s.dropped;
  number.exponent = s.scale + exponentWritten;
  return true;
}

// Scans the value at p by the fast forms. False when the bytes are not a
// number of these forms (no digit, an exponent with no digits or of
// kExponentLimit or more, Inf or NaN): the general form judges them. The byte that stops the value (the reader's line-feed sentinel at the
// latest) must be readable and kScanPadding more after it. The value's end is
// not checked against the separators: the caller does that. Without kValue
// the bytes are checked and the end found alike, but no digit's value is
// computed: number.digits and number.exponent are left unset.
template <bool kValue = true>
[[gnu::always_inline]] inline bool scanNumber(const char* p, ScannedNumber& number) {
  // Kept in a local until the end: a store into `number` may alias the
  // bytes, so the compiler would read them again after it.
  const char lead = *p;
  const bool negative = lead == '-';
  p += signLength(static_cast<unsigned char>(lead));
  const char* first = p;
  std::uint64_t digits = 0;
  std::int64_t count;     // digits written, leading zeros included
  std::int64_t fraction;  // of them, after the point
  std::int64_t exponent;  // as written
  if (p[1] == '.' && isDigit(p[0])) {
    std::uint64_t sixteen = 0;
    const int run = sixteenDigits<kValue>(p + 2, sixteen);
    if (run == 16) {
      // The form programs write most for full precision ("%.16e"): one
      // digit, the point, sixteen digits, taken at once.
      if constexpr (kValue) digits = static_cast<unsigned char>(p[0] - '0') * 10000000000000000ULL + sixteen;
      const char* fractionStart = p + 2;
      p += 18;
      if (isDigit(*p)) p = scanDigits<kValue>(p, digits);
      fraction = p - fractionStart;
      count = fraction + 1;
      if (!scanExponent<true>(p, exponent)) return false;
    } else {
      // One digit, the point and fewer than sixteen digits ("1.234568E+05"):
      // the same test counted them, so their words are converted unlooked-at.
      if constexpr (kValue) {
        std::uint64_t value = static_cast<unsigned char>(p[0] - '0');
        const char* rest = p + 2;
        int left = run;
        if (left > 8) {
          value = value * 100000000 + eightDigitsValue(load8(rest));
          rest += 8;
          left -= 8;
        }
        if (left != 0) value = value * kTens[left] + digitsValue(load8(rest), left);
        digits = value;
      }
      p += 2 + run;
      fraction = run;
      count = run + 1;
      if (!scanExponent<false>(p, exponent)) return false;
    }
  } else {
    p = scanPlainDigits<kValue>(p, digits, count, fraction);
    if (count == 0 || !scanExponent<false>(p, exponent)) return false;
  }
  number.end = p;
  number.negative = negative;
  number.dropped = false;
  if constexpr (!kValue) {
    (void)first;
    (void)exponent;
    (void)fraction;
    (void)digits;
    // Only a value too long for the exponent to fit is left to the general
    // rules, as keepSignificantDigits leaves it.
    return count <= kMaxDigits || number.end - first <= kExponentLimit;
  }
  if (count > kMaxDigits) return keepSignificantDigits(first, number, exponent);
  number.digits = digits;
  number.exponent = exponent - fraction;
  return true;
}

// The nearest double to a scanned value, or false when the fast tiers cannot
// decide it. With dropped digits the value lies strictly between digits and
// digits + 1 (times the power of ten): when both round to the same double,
// so does the value.
inline bool toDouble(const ScannedNumber& number, double& out) {
  double magnitude;
  const int q = static_cast<int>(number.exponent);
  if (!convert(number.digits, q, magnitude)) return false;
  if (number.dropped) {
    double above;
    if (!convert(number.digits + 1, q, above) || above != magnitude) return false;
  }
  out = withSign(magnitude, number.negative);
  return true;
}

}  // namespace fast

}  // namespace velmora::detail
