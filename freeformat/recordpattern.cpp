// A table's records read by the pattern of one before them (recordpattern.h).
#include "recordpattern.h"

#include <cstring>

#include "blockclass.h"
#include "blocktarget.h"
#include "fastnumber.h"
#include "grammar.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velmora::detail {

namespace {

inline constexpr unsigned char kAnyDigit = 9;  // slack: '0' to '9' where want and other are '0'
inline constexpr unsigned char kAnyByte = 0xFF;

bool separates(unsigned char c) { return (byteClass(c) & (kBlank | kComma)) != 0; }
bool isSignByte(unsigned char c) { return c == '+' || c == '-'; }

// The byte at i may also be `other`.
void allow(RecordPattern& pattern, std::size_t i, char other) {
  pattern.other[i] = static_cast<unsigned char>(other);
  pattern.slack[i] = 0;
}

// The value of the n digits at p (0 <= n <= 19), the first the most
// significant. n is the same for every record of a pattern, so the branches
// on it are always taken the same way.
[[gnu::always_inline]] inline std::uint64_t runValue(const char* p, unsigned n) {
  if (n <= 2) {
    const auto first = static_cast<unsigned char>(p[0] - '0');
    return n == 0 ? 0 : n == 1 ? first : first * 10u + static_cast<unsigned char>(p[1] - '0');
  }
  if (n <= 8) return fast::digitsValue(fast::load8(p), static_cast<int>(n));
  if (n < 16) {
    return fast::eightDigitsValue(fast::load8(p)) * fast::kTens[n - 8] +
           fast::digitsValue(fast::load8(p + 8), static_cast<int>(n - 8));
  }
  const std::uint64_t sixteen = fast::sixteenDigitsValue(p);
  if (n == 16) return sixteen;
  return sixteen * fast::kTens[n - 16] + fast::digitsValue(fast::load8(p + 16), static_cast<int>(n - 16));
}

// A padded value's places (recordpattern.h) hold blanks, then perhaps a
// minus, then digits. The eight bytes at p as the digits' values, each blank
// or minus a 0, so that the places and the last digit before the point read
// as one run of digits ('0' to '9' have bit 4 set, a blank and a minus do
// not); and in `minus`, bit 4 of each byte whose low half is 0xD: of a blank,
// a minus and the digits, only the minus.
[[gnu::always_inline]] inline std::uint64_t paddedDigits(const char* p, std::uint64_t& minus) {
  const std::uint64_t word = fast::load8(p);
  const std::uint64_t low = word & (0x0F * fast::kOnes);
  minus = (low + 0x03 * fast::kOnes) & (0x10 * fast::kOnes);
  return low & (((word >> 4) & fast::kOnes) * 0x0F);
}

// The value of a padded value's n places and digit (2 <= n <= 19), and
// whether a minus is among them.
[[gnu::always_inline]] inline std::uint64_t paddedValue(const char* p, unsigned n, bool& negative) {
  std::uint64_t minus;
  std::uint64_t digits = paddedDigits(p, minus);
  if (n <= 8) {
    negative = (minus << (64 - 8 * n)) != 0;
    return fast::digitBytesValue(digits << (64 - 8 * n));
  }
  std::uint64_t value = fast::digitBytesValue(digits);
  std::uint64_t minusAfter;
  digits = paddedDigits(p + 8, minusAfter);
  if (n <= 16) {
    negative = (minus | (minusAfter << (64 - 8 * (n - 8)))) != 0;
    return value * fast::kTens[n - 8] + fast::digitBytesValue(digits << (64 - 8 * (n - 8)));
  }
  minus |= minusAfter;
  value = value * 100000000 + fast::digitBytesValue(digits);
  digits = paddedDigits(p + 16, minusAfter);
  negative = (minus | (minusAfter << (64 - 8 * (n - 16)))) != 0;
  return value * fast::kTens[n - 16] + fast::digitBytesValue(digits << (64 - 8 * (n - 16)));
}

// A padded value's magnitude, digits x 10^-decimals, when it is not the
// exact case: out of line, so that the rows of the other patterns keep the
// converter inlined.
[[gnu::noinline]] bool paddedMagnitude(std::uint64_t digits, unsigned decimals, double& out) {
  return fast::convert(digits, -static_cast<int>(decimals), out);
}

// A kept value of a record that fits its pattern, by the converter's fast
// tiers; false when they cannot decide it.
// The digits' counts are given apart, so that a caller that knows them
// where it is compiled has them folded in.
// With kPadded, the value may be a padded one (no exponent then).
template <bool kPadded = false>
[[gnu::always_inline]] inline bool patternValue(const PatternValue& v, unsigned integerDigits, unsigned fractionDigits,
                                                unsigned exponentDigits, const char* record, double& out) {
  if (kPadded && v.padded) {
    bool negative;
    const std::uint64_t digits = paddedValue(record + v.integer, integerDigits, negative) * fast::kTens[fractionDigits] +
                                 runValue(record + v.fraction, fractionDigits);
    double magnitude;
    if (digits <= fast::kExactMantissa && fractionDigits <= static_cast<unsigned>(fast::kMaxExactPower)) {
      magnitude = fast::exactQuotient(digits, fractionDigits);
    } else if (!paddedMagnitude(digits, fractionDigits, magnitude)) {
      return false;
    }
    out = fast::withSign(magnitude, negative);
    return true;
  }
  const std::uint64_t digits = runValue(record + v.integer, integerDigits) * fast::kTens[fractionDigits] +
                               runValue(record + v.fraction, fractionDigits);
  auto exponent = static_cast<std::int64_t>(runValue(record + v.exponent, exponentDigits));
  // The exponent's sign by a mask, not a branch (the signs come in no order).
  const std::int64_t minus = -static_cast<std::int64_t>(v.exponentSign >= 0 && record[v.exponentSign] == '-');
  exponent = (exponent ^ minus) - minus;
  double magnitude;
  if (!fast::convert(digits, static_cast<int>(exponent - static_cast<std::int64_t>(fractionDigits)), magnitude)) {
    return false;
  }
  out = fast::withSign(magnitude, v.sign >= 0 && record[v.sign] == '-');
  return true;
}
template <bool kPadded = false>
[[gnu::always_inline]] inline bool patternValue(const PatternValue& v, const char* record, double& out) {
  return patternValue<kPadded>(v, v.integerDigits, v.fractionDigits, v.exponentDigits, record, out);
}

// The forms of a kept value read with their digits' counts known where they
// are compiled: "%.16E" (one digit, sixteen after the point, a two-digit
// exponent: full precision) and "%E" (six after the point); kAnyForm: the
// counts read from the pattern.
struct Form {
  int integerDigits, fractionDigits, exponentDigits;
};
inline constexpr Form kAnyForm{-1, -1, -1};
inline constexpr Form kSixteenDigits{1, 16, 2};
inline constexpr Form kSixDigits{1, 6, 2};
inline bool isForm(const PatternValue& v, Form form) {
  return v.integerDigits == form.integerDigits && v.fractionDigits == form.fractionDigits &&
         v.exponentDigits == form.exponentDigits;
}

// A value written as "%.16E" writes it: a digit, a point, sixteen digits, a
// letter, a sign and two digits, all from its first digit on.
inline bool isUsualLong(const PatternValue& v) {
  return isForm(v, kSixteenDigits) && v.fraction == v.integer + 2 && v.exponentSign == v.integer + 19 &&
         v.exponent == v.integer + 20;
}

#if defined(__SSE2__)
// The sixteen-byte check: in each step, a byte's distance from want and from
// other (by exclusive or), the smaller of the two, less its slack, must be
// zero. A digit is '0' to '9', so its distance from '0' is at most 9.
// With kPadded, a digit fits a padded place too, and a padded place that is
// not a blank must have a digit after it. kSteps 0: `steps` steps.
template <std::size_t kSteps, bool kPadded = false>
[[gnu::always_inline]] inline bool fitsBySteps(const RecordPattern& pattern, const char* record,
                                               std::size_t steps = kSteps) {
  __m128i off = _mm_setzero_si128();
  auto step = [&](std::size_t s) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(record + 16 * s));
    const __m128i want = _mm_load_si128(reinterpret_cast<const __m128i*>(pattern.want + 16 * s));
    const __m128i other = _mm_load_si128(reinterpret_cast<const __m128i*>(pattern.other + 16 * s));
    const __m128i slack = _mm_load_si128(reinterpret_cast<const __m128i*>(pattern.slack + 16 * s));
    const __m128i distance = _mm_min_epu8(_mm_xor_si128(bytes, want), _mm_xor_si128(bytes, other));
    if constexpr (kPadded) {
      const __m128i zero = _mm_set1_epi8('0');
      const __m128i nine = _mm_set1_epi8(9);
      const __m128i blank = _mm_set1_epi8(' ');
      const __m128i open = _mm_load_si128(reinterpret_cast<const __m128i*>(pattern.open + 16 * s));
      const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(record + 16 * s + 1));
      // Zero for a digit: the distance from '0' is at most 9.
      const __m128i notDigit = _mm_subs_epu8(_mm_sub_epi8(bytes, zero), nine);
      const __m128i nextNotDigit = _mm_subs_epu8(_mm_sub_epi8(next, zero), nine);
      const __m128i placed = _mm_min_epu8(_mm_subs_epu8(distance, slack), _mm_or_si128(notDigit, open));
      const __m128i filled = _mm_andnot_si128(open, _mm_xor_si128(bytes, blank));
      off = _mm_or_si128(off, _mm_or_si128(placed, _mm_min_epu8(filled, nextNotDigit)));
    } else {
      off = _mm_or_si128(off, _mm_subs_epu8(distance, slack));
    }
  };
  if constexpr (kSteps != 0) {
#pragma GCC unroll 8
    for (std::size_t s = 0; s < kSteps; ++s) step(s);
  } else {
    for (std::size_t s = 0; s < steps; ++s) step(s);
  }
  return _mm_movemask_epi8(_mm_cmpeq_epi8(off, _mm_setzero_si128())) == 0xFFFF;
}
#else
template <std::size_t kSteps, bool kPadded = false>
inline bool fitsBySteps(const RecordPattern& pattern, const char* record, std::size_t = kSteps) {
  return fitsPatternByBytes(pattern, record);
}
#endif

// How many records of `length` bytes from `record` end before `end`, at
// most `maxRows`: the line feed a record ends at must be one the file holds,
// not the sentinel, so the row loops count their records once a call
// rather than test each one.
[[gnu::always_inline]] inline std::size_t wholeRecords(const char* record, const char* end, std::size_t length,
                                                       std::size_t maxRows) {
  const std::size_t whole = static_cast<std::size_t>(end - record) / length;
  return whole < maxRows ? whole : maxRows;
}

// kOne: one item kept (a loader that needs one column), its parts held in
// registers rather than read from the pattern for each record, its digits'
// counts kForm's unless that is kAnyForm; kPadded: the pattern has padded
// places (kSteps 0 then: the record's steps counted as it runs, so that the
// padded rows are read by two functions, not sixteen). Each form out of
// line, so that each keeps the converter's tiers inlined.
template <std::size_t kSteps, bool kOne, Form kForm = kAnyForm, bool kPadded = false>
[[gnu::noinline]] PatternRun readRows(const RecordPattern& pattern, const char*& p, const char* end, double* row,
                    std::size_t maxRows) {
  const std::size_t length = pattern.length;
  const std::size_t items = pattern.items;
  const std::size_t kept = pattern.kept;
  const PatternValue one = pattern.values[0];
  const std::size_t steps = (length + 15) / 16;
  const char* record = p;
  const std::size_t rows = wholeRecords(record, end, length, maxRows);
  PatternRun run{0, false};
  for (; run.rows < rows; ++run.rows, record += length, row += items) {
    if (!fitsBySteps<kSteps, kPadded>(pattern, record, steps)) {
      run.misfit = true;
      break;
    }
    if constexpr (kOne) {
      double value;
      const bool decided = kForm.integerDigits < 0
                               ? patternValue<kPadded>(one, record, value)
                               : patternValue(one, static_cast<unsigned>(kForm.integerDigits),
                                              static_cast<unsigned>(kForm.fractionDigits),
                                              static_cast<unsigned>(kForm.exponentDigits), record, value);
      if (!decided) break;
      row[one.item] = value;
    } else {
      double values[kPatternItems];
      bool decided = true;
      for (std::size_t k = 0; k < kept; ++k) decided &= patternValue<kPadded>(pattern.values[k], record, values[k]);
      if (!decided) break;
      for (std::size_t k = 0; k < kept; ++k) row[pattern.values[k].item] = values[k];
    }
  }
  p = record;
  return run;
}

template <std::size_t kSteps>
PatternRun readRows(const RecordPattern& pattern, const char*& p, const char* end, double* row,
                    std::size_t maxRows) {
  if (pattern.kept != 1) return readRows<kSteps, false>(pattern, p, end, row, maxRows);
  if (isForm(pattern.values[0], kSixteenDigits)) return readRows<kSteps, true, kSixteenDigits>(pattern, p, end, row, maxRows);
  if (isForm(pattern.values[0], kSixDigits)) return readRows<kSteps, true, kSixDigits>(pattern, p, end, row, maxRows);
  return readRows<kSteps, true>(pattern, p, end, row, maxRows);
}

}  // namespace

#if defined(__x86_64__)
// The check of a padded record of 33 to 64 bytes in two thirty-two-byte
// steps, where the processor has AVX2: the first at the record's start, the
// second ending at its line feed (the two overlap where the record is
// shorter than 64 bytes, and a byte checked twice is held to the same
// place's rule both times). Nothing past the line feed is loaded but the one
// byte after it, as a padded place's next byte. The rules of each byte are
// those of the sixteen-byte check.
VELMORA_TARGET_BEGIN("avx2")
namespace avx2 {
namespace {

[[gnu::always_inline]] inline __m256i load(const void* q) { return _mm256_loadu_si256(static_cast<const __m256i*>(q)); }

[[gnu::always_inline]] inline __m256i paddedStepOff(const RecordPattern& pattern, const char* record, std::size_t at) {
  const __m256i bytes = load(record + at);
  const __m256i distance = _mm256_min_epu8(_mm256_xor_si256(bytes, load(pattern.want + at)),
                                           _mm256_xor_si256(bytes, load(pattern.other + at)));
  const __m256i zero = _mm256_set1_epi8('0');
  const __m256i nine = _mm256_set1_epi8(9);
  const __m256i open = load(pattern.open + at);
  // Zero for a digit: the distance from '0' is at most 9.
  const __m256i notDigit = _mm256_subs_epu8(_mm256_sub_epi8(bytes, zero), nine);
  const __m256i nextNotDigit = _mm256_subs_epu8(_mm256_sub_epi8(load(record + at + 1), zero), nine);
  const __m256i placed =
      _mm256_min_epu8(_mm256_subs_epu8(distance, load(pattern.slack + at)), _mm256_or_si256(notDigit, open));
  const __m256i filled = _mm256_andnot_si256(open, _mm256_xor_si256(bytes, _mm256_set1_epi8(' ')));
  return _mm256_or_si256(placed, _mm256_min_epu8(filled, nextNotDigit));
}

[[gnu::always_inline]] inline bool fitsPadded(const RecordPattern& pattern, const char* record, std::size_t second) {
  const __m256i off =
      _mm256_or_si256(paddedStepOff(pattern, record, 0), paddedStepOff(pattern, record, second));
  return _mm256_testz_si256(off, off) != 0;
}

// A padded value of 9 to 16 places and no digits after its point (the
// record of integers in fields of a width): the places moved to the end of
// sixteen lanes by one byte shuffle, the lanes before them zeros, each
// blank or minus a 0 (as paddedDigits makes them), and the sixteen lanes'
// value taken by multiply-adds of neighbouring lanes. `toEnd` is the
// shuffle, `places` the places' bits.
[[gnu::always_inline]] inline std::uint64_t paddedIntegerValue(const char* p, __m128i toEnd, unsigned places,
                                                               bool& negative) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  negative = (static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('-')))) & places) != 0;
  const __m128i digit = _mm_cmpeq_epi8(_mm_and_si128(bytes, _mm_set1_epi8(0x10)), _mm_set1_epi8(0x10));
  const __m128i digits = _mm_shuffle_epi8(_mm_and_si128(_mm_and_si128(bytes, _mm_set1_epi8(0x0F)), digit), toEnd);
  const __m128i pairs = _mm_maddubs_epi16(digits, _mm_set1_epi16(0x010A));  // ten times the first, plus the second
  const __m128i fours = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00010064));
  const __m128i eights = _mm_madd_epi16(_mm_packus_epi32(fours, fours), _mm_set1_epi32(0x00012710));
  const auto both = static_cast<std::uint64_t>(_mm_cvtsi128_si64(eights));
  return (both & 0xFFFFFFFF) * 100000000 + (both >> 32);
}

// How readPaddedRows takes its kept value: by patternValue, as an integer
// of 9 to 16 places (paddedIntegerValue), or as places and a fraction whose
// first fifteen digits one shuffle moves past the point (the rest, at most
// four, read after them).
enum class Kept { Scalar, Integer, Shuffled };
// The fewest places and digits read by the shuffle.
inline constexpr unsigned kShuffledDigits = 9;

// readRows of one kept item for a padded pattern of 33 to 64 bytes.
template <Kept kKept>
[[gnu::noinline]] PatternRun readPaddedRows(const RecordPattern& pattern, const char*& p, const char* end,
                                            double* row, std::size_t maxRows) {
  const std::size_t length = pattern.length;
  const std::size_t items = pattern.items;
  const std::size_t second = length - 32;
  const PatternValue one = pattern.values[0];
  const char* record = p;
  const std::size_t rows = wholeRecords(record, end, length, maxRows);
  const unsigned n = one.integerDigits;
  // Lane j of the shuffle takes byte j + n - 16; below 0 (the high bit set), a zero.
  const __m128i toEnd = _mm_add_epi8(_mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                                     _mm_set1_epi8(static_cast<char>(n - 16)));
  const unsigned places = (1u << n) - 1;
  // Shuffled: the sixteen bytes at the first place hold the n places, the
  // point and `lanes` - n digits after it; lane j takes digit j + lanes - 16,
  // the point's byte skipped. The fraction's other `rest` digits follow.
  const unsigned decimals = one.fractionDigits;
  const unsigned lanes = n + decimals < 15 ? n + decimals : 15;
  const unsigned rest = n + decimals - lanes;
  const std::size_t restAt = static_cast<std::size_t>(one.integer) + lanes + 1;
  __m128i pastPoint = toEnd;
  if constexpr (kKept == Kept::Shuffled) {
    const __m128i digit = _mm_add_epi8(_mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                                       _mm_set1_epi8(static_cast<char>(lanes - 16)));
    // Past the places, one byte further on; below 0 (the high bit set), a zero.
    pastPoint = _mm_sub_epi8(digit, _mm_cmpgt_epi8(digit, _mm_set1_epi8(static_cast<char>(n - 1))));
  }
  PatternRun run{0, false};
  for (; run.rows < rows; ++run.rows, record += length, row += items) {
    if (!fitsPadded(pattern, record, second)) {
      run.misfit = true;
      break;
    }
    double value;
    if constexpr (kKept == Kept::Integer) {
      bool negative;
      // At most sixteen digits, below 2^63: the conversion to double rounds
      // them once, correctly.
      const std::uint64_t digits = paddedIntegerValue(record + one.integer, toEnd, places, negative);
      value = fast::withSign(static_cast<double>(digits), negative);
    } else if constexpr (kKept == Kept::Shuffled) {
      // The same digits patternValue reads (at most nineteen), converted the
      // same way: exactly where they are at most 2^53, else by the
      // converter's other tiers.
      bool negative;
      const std::uint64_t digits = paddedIntegerValue(record + one.integer, pastPoint, places, negative) *
                                       fast::kTens[rest] +
                                   runValue(record + restAt, rest);
      double magnitude;
      if (digits <= fast::kExactMantissa) {
        magnitude = fast::exactQuotient(digits, decimals);
      } else if (!paddedMagnitude(digits, decimals, magnitude)) {
        break;
      }
      value = fast::withSign(magnitude, negative);
    } else if (!patternValue<true>(one, record, value)) {
      break;
    }
    row[one.item] = value;
  }
  p = record;
  return run;
}

PatternRun readPaddedRows(const RecordPattern& pattern, const char*& p, const char* end, double* row,
                          std::size_t maxRows) {
  const PatternValue& one = pattern.values[0];
  if (one.padded && one.fractionDigits == 0 && one.integerDigits >= 9 && one.integerDigits <= 16) {
    return readPaddedRows<Kept::Integer>(pattern, p, end, row, maxRows);
  }
  // The fraction's digits at most 19 (learnPattern), each a power of ten a
  // double holds exactly.
  if (one.padded && one.fractionDigits > 0 && one.integerDigits <= 15 &&
      one.integerDigits + one.fractionDigits >= kShuffledDigits) {
    return readPaddedRows<Kept::Shuffled>(pattern, p, end, row, maxRows);
  }
  return readPaddedRows<Kept::Scalar>(pattern, p, end, row, maxRows);
}

// The check of a record without padded places of 33 to 96 bytes in two or
// three thirty-two-byte steps, the last ending at its line feed, as above.
// Where a byte has slack (a digit, or past the line feed), other is want; where
// other differs from want, there is no slack. So a byte fits when its
// distance from want, less the slack, is zero, or when it is other: the
// smaller of the two is zero.
[[gnu::always_inline]] inline __m256i stepOff(const RecordPattern& pattern, const char* record, std::size_t at) {
  const __m256i bytes = load(record + at);
  return _mm256_min_epu8(_mm256_subs_epu8(_mm256_xor_si256(bytes, load(pattern.want + at)), load(pattern.slack + at)),
                         _mm256_xor_si256(bytes, load(pattern.other + at)));
}

template <int kSteps>
[[gnu::always_inline]] inline bool fitsUnpadded(const RecordPattern& pattern, const char* record, std::size_t last) {
  __m256i off = _mm256_or_si256(stepOff(pattern, record, 0), stepOff(pattern, record, last));
  if constexpr (kSteps == 3) off = _mm256_or_si256(off, stepOff(pattern, record, 32));
  return _mm256_testz_si256(off, off) != 0;
}

// The value of the sixteen digits at p: pairs, fours, then eights by
// multiply-adds of neighbouring lanes, the two eights joined in the lanes.
[[gnu::always_inline]] inline std::uint64_t keptSixteenDigits(const char* p) {
  const __m128i digits = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_set1_epi8('0'));
  const __m128i pairs = _mm_maddubs_epi16(digits, _mm_set1_epi16(0x010A));  // ten times the first, plus the second
  const __m128i fours = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00010064));
  const __m128i eights = _mm_madd_epi16(_mm_packus_epi32(fours, fours), _mm_set1_epi32(0x00012710));
  const __m128i both = _mm_add_epi64(_mm_mul_epu32(eights, _mm_set1_epi64x(100000000)), _mm_srli_epi64(eights, 32));
  return static_cast<std::uint64_t>(_mm_cvtsi128_si64(both));
}

// The value of a record that fits its pattern, written as "%.16E" writes it
// (a digit, a point, sixteen digits, a letter, a sign and two digits, all in
// their places from the first digit at `at`).
// Its exponent is within 99 of zero, so the value is a normal double far from
// both ends of the range, and with a first digit that is not 0 its seventeen
// digits exceed 2^53: the converter's general tier, which the checks of the
// range would choose anyway. signAt is the place of the value's sign in the
// record, or of a digit (never '-') when the value has no such place.
[[gnu::always_inline]] inline bool keptLongValue(const char* at, std::ptrdiff_t signAt, const char* record,
                                                 double& out) {
  const std::uint64_t digits =
      (static_cast<std::uint64_t>(static_cast<unsigned char>(at[0])) - '0') * fast::kTens[16] +
      keptSixteenDigits(at + 2);
  std::uint16_t pair;
  std::memcpy(&pair, at + 20, sizeof pair);
  // The two digits' low four bits, the tens in the low byte: times 0xA01,
  // the second byte is ten tens plus the ones (at most 99, so no carry).
  const int exponent = static_cast<int>(((static_cast<unsigned>(pair) & 0x0F0F) * 0xA01 >> 8) & 0xFF);
  // The pattern lets the exponent's sign be '+' (43) or '-' (45) only, so 44
  // less its byte is 1 or -1: the sign by its byte, not by a branch, as the
  // signs come in no order a predictor could learn.
  const int sign = 44 - static_cast<int>(static_cast<unsigned char>(at[19]));
  const int q = exponent * sign - 16;
  double magnitude;
  if (digits > fast::kExactMantissa) [[likely]] {
    if (!fast::convertEiselLemire<true>(digits, q, magnitude)) return false;
  } else if (!fast::convert(digits, q, magnitude)) {
    return false;
  }
  out = fast::withSign(magnitude, record[signAt] == '-');
  return true;
}

// readRows of one kept item, its digits' counts kForm's, for a pattern
// without padded places of 33 to 96 bytes (kSteps: two steps or three).
template <int kSteps, Form kForm>
[[gnu::always_inline]] inline PatternRun unpaddedRows(const RecordPattern& pattern, const char*& p, const char* end,
                                              double* row, std::size_t maxRows) {
  const std::size_t length = pattern.length;
  const std::size_t items = pattern.items;
  const std::size_t last = length - 32;
  const PatternValue one = pattern.values[0];
  constexpr bool kSixteen = kForm.integerDigits == kSixteenDigits.integerDigits &&
                            kForm.fractionDigits == kSixteenDigits.fractionDigits &&
                            kForm.exponentDigits == kSixteenDigits.exponentDigits;
  const std::ptrdiff_t signAt = one.sign >= 0 ? one.sign : one.integer;
  const char* record = p;
  const std::size_t rows = wholeRecords(record, end, length, maxRows);
  PatternRun run{0, false};
  // The bytes each step wants and their others, held in registers across
  // the records; the slack read where the step is made.
  const std::size_t at[3] = {0, last, 32};
  __m256i want[3];
  __m256i other[3];
  for (std::size_t s = 0; s < kSteps; ++s) {
    want[s] = load(pattern.want + at[s]);
    other[s] = load(pattern.other + at[s]);
  }
  // The walk counts by the record's place; the rows read come from it at the end.
  const char* const stop = record + rows * length;
  for (; record != stop; record += length, row += items) {
    __m256i off = _mm256_setzero_si256();
    for (std::size_t s = 0; s < kSteps; ++s) {
      const __m256i bytes = load(record + at[s]);
      off = _mm256_or_si256(off, _mm256_min_epu8(_mm256_subs_epu8(_mm256_xor_si256(bytes, want[s]),
                                                                  load(pattern.slack + at[s])),
                                                 _mm256_xor_si256(bytes, other[s])));
    }
    if (_mm256_testz_si256(off, off) == 0) {
      run.misfit = true;
      break;
    }
    double value;
    const bool decided = kSixteen ? keptLongValue(record + one.integer, signAt, record, value)
                         : kForm.integerDigits < 0
                             ? patternValue(one, record, value)
                             : patternValue(one, static_cast<unsigned>(kForm.integerDigits),
                                            static_cast<unsigned>(kForm.fractionDigits),
                                            static_cast<unsigned>(kForm.exponentDigits), record, value);
    if (!decided) break;
    row[one.item] = value;
  }
  run.rows = static_cast<std::size_t>(record - p) / length;
  p = record;
  return run;
}

// The usual forms with the converter's tiers inlined whole (flattened), as
// in the sixteen-byte forms; any other form as the compiler inlines it.
template <int kSteps, Form kForm>
[[gnu::noinline, gnu::flatten]] PatternRun readUsualRows(const RecordPattern& pattern, const char*& p,
                                                         const char* end, double* row, std::size_t maxRows) {
  return unpaddedRows<kSteps, kForm>(pattern, p, end, row, maxRows);
}
template <int kSteps, Form kForm>
[[gnu::noinline]] PatternRun readOtherRows(const RecordPattern& pattern, const char*& p, const char* end, double* row,
                                           std::size_t maxRows) {
  return unpaddedRows<kSteps, kForm>(pattern, p, end, row, maxRows);
}

template <int kSteps>
PatternRun readUnpaddedRows(const RecordPattern& pattern, const char*& p, const char* end, double* row,
                            std::size_t maxRows) {
  if (isUsualLong(pattern.values[0])) {
    return readUsualRows<kSteps, kSixteenDigits>(pattern, p, end, row, maxRows);
  }
  if (isForm(pattern.values[0], kSixDigits)) return readUsualRows<kSteps, kSixDigits>(pattern, p, end, row, maxRows);
  return readOtherRows<kSteps, kAnyForm>(pattern, p, end, row, maxRows);
}

PatternRun readUnpaddedRows(const RecordPattern& pattern, const char*& p, const char* end, double* row,
                            std::size_t maxRows) {
  if (pattern.length <= 64) return readUnpaddedRows<2>(pattern, p, end, row, maxRows);
  return readUnpaddedRows<3>(pattern, p, end, row, maxRows);
}

bool fits(const RecordPattern& pattern, const char* record) {
  if (pattern.padded) return fitsPadded(pattern, record, pattern.length - 32);
  if (pattern.length <= 64) return fitsUnpadded<2>(pattern, record, pattern.length - 32);
  return fitsUnpadded<3>(pattern, record, pattern.length - 32);
}

}  // namespace
}  // namespace avx2
VELMORA_TARGET_END
#endif

#if defined(__x86_64__)
// Rows of three, every item kept and written as "%.16E" writes it
// (usualThrees), for a pattern without padded places of 33 to 96 bytes: the
// records checked as above, the values taken from their places with the
// multiply-adds and the shifts of the processors that have AVX2 (the same
// choice).
VELMORA_TARGET_BEGIN("avx2,bmi,bmi2")
namespace avx2 {
namespace {

// The sixteen digits after the points of a record's three values (at a, b
// and c) less '0' times 10^16 each: pairs, fours, then eights by
// multiply-adds of neighbouring lanes, a and b in the two halves of one
// register and c in both halves of a second, which the packing of the fours
// joins to the first; the two eights of each value joined in its lanes.
[[gnu::always_inline]] inline void threeSixteenDigits(const char* a, const char* b, const char* c,
                                                      std::uint64_t& first, std::uint64_t& second,
                                                      std::uint64_t& third) {
  const __m256i zero = _mm256_set1_epi8('0');
  const __m256i ab = _mm256_sub_epi8(_mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(b),
                                                         reinterpret_cast<const __m128i*>(a)),
                                     zero);
  const __m256i cc = _mm256_sub_epi8(
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c))), zero);
  const __m256i tenAndOne = _mm256_set1_epi16(0x010A);  // ten times the first, plus the second
  const __m256i hundredAndOne = _mm256_set1_epi32(0x00010064);
  const __m256i foursAb = _mm256_madd_epi16(_mm256_maddubs_epi16(ab, tenAndOne), hundredAndOne);
  const __m256i foursCc = _mm256_madd_epi16(_mm256_maddubs_epi16(cc, tenAndOne), hundredAndOne);
  // Each half: its eights of a (or b), then of c.
  const __m256i eights = _mm256_madd_epi16(_mm256_packus_epi32(foursAb, foursCc), _mm256_set1_epi32(0x00012710));
  // '0''s share of the first digit, taken off here once for the three.
  const __m256i values = _mm256_add_epi64(
      _mm256_add_epi64(_mm256_mul_epu32(eights, _mm256_set1_epi64x(100000000)), _mm256_srli_epi64(eights, 32)),
      _mm256_set1_epi64x(static_cast<long long>(0 - std::uint64_t{'0'} * fast::kTens[16])));
  const __m128i low = _mm256_castsi256_si128(values);
  first = static_cast<std::uint64_t>(_mm_cvtsi128_si64(low));
  third = static_cast<std::uint64_t>(_mm_extract_epi64(low, 1));
  second = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm256_extracti128_si256(values, 1)));
}

// Of the bytes a sign's place may hold ('-', '+', a blank, or the record's
// line feed standing in for a value with no sign's place), only '-' has
// bit 2 set.
static_assert(('-' & 4) != 0 && ('+' & 4) == 0 && (' ' & 4) == 0 && ('\n' & 4) == 0, "a minus told by one bit");

// floor(log2(10^q)) + 63, the binary exponent of the table's significand of
// 5^q, plus the bias less one, for each q of the table of powers of five.
struct BinaryExponents {
  int of[kLargestPowerOfFive - kSmallestPowerOfFive + 1];
};
constexpr BinaryExponents kBinaryExponents = [] {
  BinaryExponents table{};
  for (int q = kSmallestPowerOfFive; q <= kLargestPowerOfFive; ++q) {
    table.of[q - kSmallestPowerOfFive] = (((152170 + 65536) * q) >> 16) + 63 + fast::kExponentBias - 1;
  }
  return table;
}();

// What an exponent of two digits gives a value of sixteen digits after its
// point: the byte offset of 10^q's power of five in its table (q being the
// exponent less 16), the binary exponent above for that q, and q. Found by
// the exponent's sign and digits (the last three of the eight bytes from a
// value's first digit's place plus 14): the sign's bit 1 ('+' has it, '-'
// has not) and each digit's low four bits, kept by a mask and spread by one
// multiplication so that the top nine bits of the product tell the 200
// signs and pairs of digits apart (a single bit-gather instruction would do
// the same, but some processors with AVX2 run that one slowly). Places no
// sign and digits reach (the record's check wants digits there) hold the
// entry of q = -16.
struct ExponentEntry {
  std::int32_t power;
  std::int16_t binary;
  std::int16_t q;
};
static_assert(('+' & 2) != 0 && ('-' & 2) == 0, "an exponent's sign told by one bit");
constexpr std::uint64_t kExponentBits = 0x0F0F0200'00000000;  // the sign's bit 1, then each digit's low four bits
constexpr std::uint64_t kExponentSpread = 0x4401;
constexpr std::size_t exponentPlace(std::uint64_t bytes) { return (bytes & kExponentBits) * kExponentSpread >> 55; }
constexpr std::uint64_t exponentBytes(bool plus, int tens, int ones) {
  return std::uint64_t{plus} << 41 | static_cast<std::uint64_t>(tens) << 48 | static_cast<std::uint64_t>(ones) << 56;
}
struct ExponentTable {
  ExponentEntry of[512];
};
constexpr ExponentEntry exponentEntry(int q) {
  return {static_cast<std::int32_t>((q - kSmallestPowerOfFive) * sizeof(PowerOfFive)),
          static_cast<std::int16_t>(kBinaryExponents.of[q - kSmallestPowerOfFive]), static_cast<std::int16_t>(q)};
}
constexpr ExponentTable kExponents = [] {
  ExponentTable table{};
  for (ExponentEntry& entry : table.of) entry = exponentEntry(-16);
  for (int plus = 0; plus < 2; ++plus) {
    for (int tens = 0; tens < 10; ++tens) {
      for (int ones = 0; ones < 10; ++ones) {
        const int exponent = tens * 10 + ones;
        table.of[exponentPlace(exponentBytes(plus != 0, tens, ones))] = exponentEntry((plus != 0 ? exponent : -exponent) - 16);
      }
    }
  }
  return table;
}();
// Every sign and pair of digits has a place of its own.
static_assert([] {
  bool taken[512] = {};
  for (int at = 0; at < 200; ++at) {
    const std::size_t place = exponentPlace(exponentBytes(at >= 100, at / 10 % 10, at % 10));
    if (taken[place]) return false;
    taken[place] = true;
  }
  return true;
}());

// The Eisel-Lemire tier for a value the caller knows to be a normal double
// far from both ends of the range: as the converter's, but the rounded
// significand is added to the exponent's bits less one, so that a carry out
// of it (a round up to the next power of two) goes on into the exponent with
// no test, and the significand's leading bit needs no mask.
[[gnu::always_inline]] inline bool normalMagnitudeBits(std::uint64_t w, const ExponentEntry& entry,
                                                       std::uint64_t& bits) {
  const int leadingZeros = __builtin_clzll(w);
  w <<= leadingZeros;
  const PowerOfFive& power =
      *reinterpret_cast<const PowerOfFive*>(reinterpret_cast<const char*>(kPowersOfFive128) + entry.power);
  const fast::u128 product = fast::u128{w} * power.high;
  auto high = static_cast<std::uint64_t>(product >> 64);
  auto low = static_cast<std::uint64_t>(product);
  constexpr std::uint64_t kMargin = 0x1FF;
  if ((high & kMargin) == kMargin) [[unlikely]] {
    const fast::u128 second = fast::u128{w} * power.low;
    const auto secondHigh = static_cast<std::uint64_t>(second >> 64);
    low += secondHigh;
    high += low < secondHigh ? 1 : 0;
    if (low == ~std::uint64_t{0}) return false;
  }
  const int upperBit = static_cast<int>(high >> 63);
  const int shift = upperBit + 64 - fast::kMantissaBits - 3;
  const std::uint64_t mantissa = high >> shift;
  if (low <= 1 && (mantissa & 3) == 1 && (mantissa << shift) == high) [[unlikely]] return false;  // maybe a tie
  const int exponent = entry.binary + upperBit - leadingZeros;
  // Round half up on the extra bit (ties were excluded above).
  bits = ((mantissa + 1) >> 1) + (static_cast<std::uint64_t>(exponent) << fast::kMantissaBits);
  return true;
}

// A value written as "%.16E" writes it, of a record that fits its pattern,
// from `digits` (its first digit), `fraction` (its sixteen digits after the
// point, less '0' times 10^16) and `sign` (its sign's place): seventeen
// digits, an exponent from -99 to 99. Where the first digit is not 0 the
// digits are above 2^53 and the value lies between 10^-100 and 10^100, a
// normal double far from both ends of the range, which the tier above takes;
// other digits go through the converter whole. False when it cannot decide.
[[gnu::always_inline]] inline bool usualLongValue(const char* digits, std::uint64_t fraction, const char* sign,
                                                  double& out) {
  const std::uint64_t w =
      static_cast<std::uint64_t>(static_cast<unsigned char>(digits[0])) * fast::kTens[16] + fraction;
  std::uint64_t letter;
  std::memcpy(&letter, digits + 14, sizeof letter);
  const ExponentEntry& entry = kExponents.of[exponentPlace(letter)];
  std::uint64_t bits;
  if (digits[0] != '0') [[likely]] {
    if (!normalMagnitudeBits(w, entry, bits)) return false;
  } else {
    double magnitude;
    if (!fast::convert(w, entry.q, magnitude)) return false;
    std::memcpy(&bits, &magnitude, sizeof bits);
  }
  bits |= static_cast<std::uint64_t>(static_cast<unsigned char>(*sign)) >> 2 << 63;
  out = fast::fromBits(bits);
  return true;
}

// Records of three values as "%25.16E" writes them, one after another with
// no other bytes and a line feed: each value's first digit three bytes into
// its twenty-five, its sign's place the byte before.
constexpr std::size_t kWidthOfTwentyFive = 25;
constexpr std::size_t kTwentyFiveLength = 3 * kWidthOfTwentyFive + 1;
constexpr std::size_t kTwentyFiveFirstDigit = 3;

// kSignsBefore: every value's sign's place is the byte before its first
// digit, so that it is read from the same place as the digits.
// kTwentyFive: the records are laid out as "%25.16E" writes them (above), so
// that the places are constants and the registers they would hold are free.
template <int kSteps, bool kSignsBefore, bool kTwentyFive = false>
[[gnu::noinline, gnu::flatten]] PatternRun readUsualThrees(const RecordPattern& pattern, const char*& p,
                                                           const char* end, double* row, std::size_t maxRows) {
  const std::size_t length = kTwentyFive ? kTwentyFiveLength : pattern.length;
  const std::size_t last = length - 32;
  std::size_t digits[3], sign[3];
  for (std::size_t k = 0; k < 3; ++k) {
    digits[k] = kTwentyFive ? kTwentyFiveFirstDigit + k * kWidthOfTwentyFive
                            : static_cast<std::size_t>(pattern.values[k].integer);
    sign[k] = pattern.values[k].sign >= 0 ? static_cast<std::size_t>(pattern.values[k].sign) : length - 1;
  }
  const char* record = p;
  double* const firstRow = row;
  // The run ends at the last whole record, the record that does not fit, or
  // the value the fast tiers cannot decide; its rows are counted from where
  // the rows' values stop.
  const char* const stop = record + wholeRecords(record, end, length, maxRows) * length;
  bool misfit = false;
  // The pattern's steps held in registers through the run: at 0, at the
  // record's last thirty-two bytes and, with three steps, at 32.
  const std::size_t at[3] = {0, last, 32};
  __m256i want[3], other[3], slack[3];
  for (std::size_t s = 0; s < static_cast<std::size_t>(kSteps); ++s) {
    want[s] = load(pattern.want + at[s]);
    other[s] = load(pattern.other + at[s]);
    slack[s] = load(pattern.slack + at[s]);
  }
  for (; record != stop; record += length, row += 3) {
    __m256i off = _mm256_setzero_si256();
    for (std::size_t s = 0; s < static_cast<std::size_t>(kSteps); ++s) {
      const __m256i bytes = load(record + at[s]);
      off = _mm256_or_si256(off, _mm256_subs_epu8(_mm256_min_epu8(_mm256_xor_si256(bytes, want[s]),
                                                                  _mm256_xor_si256(bytes, other[s])),
                                                  slack[s]));
    }
    if (!_mm256_testz_si256(off, off)) {
      misfit = true;
      break;
    }
    double first, second, third;
    auto signAt = [&](std::size_t k) { return kSignsBefore ? record + digits[k] - 1 : record + sign[k]; };
    std::uint64_t fractions[3];
    threeSixteenDigits(record + digits[0] + 2, record + digits[1] + 2, record + digits[2] + 2, fractions[0],
                       fractions[1], fractions[2]);
    if (!usualLongValue(record + digits[0], fractions[0], signAt(0), first) ||
        !usualLongValue(record + digits[1], fractions[1], signAt(1), second) ||
        !usualLongValue(record + digits[2], fractions[2], signAt(2), third)) {
      break;
    }
    row[0] = first;
    row[1] = second;
    row[2] = third;
  }
  p = record;
  return PatternRun{static_cast<std::size_t>(row - firstRow) / 3, misfit};
}

PatternRun readUsualThrees(const RecordPattern& pattern, const char*& p, const char* end, double* row,
                           std::size_t maxRows) {
  bool signsBefore = true;
  for (std::size_t k = 0; k < 3; ++k) {
    signsBefore = signsBefore && pattern.values[k].sign == pattern.values[k].integer - 1;
  }
  if (pattern.length <= 64) {
    return signsBefore ? readUsualThrees<2, true>(pattern, p, end, row, maxRows)
                       : readUsualThrees<2, false>(pattern, p, end, row, maxRows);
  }
  bool twentyFive = signsBefore && pattern.length == kTwentyFiveLength;
  for (std::size_t k = 0; k < 3; ++k) {
    twentyFive = twentyFive && static_cast<std::size_t>(pattern.values[k].integer) ==
                                   kTwentyFiveFirstDigit + k * kWidthOfTwentyFive;
  }
  if (twentyFive) return readUsualThrees<3, true, true>(pattern, p, end, row, maxRows);
  return signsBefore ? readUsualThrees<3, true>(pattern, p, end, row, maxRows)
                     : readUsualThrees<3, false>(pattern, p, end, row, maxRows);
}

}  // namespace
}  // namespace avx2
VELMORA_TARGET_END
#endif

namespace {

// Whether the thirty-two-byte check serves a pattern: records of 33 to 64
// bytes, or to 96 without padded places.
bool widelyCheckable(const RecordPattern& pattern) {
#if defined(__x86_64__)
  return wideReads && pattern.length > 32 && pattern.length <= (pattern.padded ? 64u : 96u);
#else
  (void)pattern;
  return false;
#endif
}

// Whether a pattern's rows are read with it: those of one kept item.
bool widelyChecked(const RecordPattern& pattern) { return pattern.kept == 1 && widelyCheckable(pattern); }

// Whether a pattern's records are rows of three, every item kept and
// written as "%.16E" writes it.
bool usualThrees(const RecordPattern& pattern) {
  return pattern.items == 3 && pattern.kept == 3 && isUsualLong(pattern.values[0]) &&
         isUsualLong(pattern.values[1]) && isUsualLong(pattern.values[2]);
}

}  // namespace

bool fitsPatternWide(const RecordPattern& pattern, const char* record, bool& checked) {
  checked = widelyCheckable(pattern);
#if defined(__x86_64__)
  if (checked) return avx2::fits(pattern, record);
#endif
  return false;
}

void forgetPattern(RecordPattern& pattern) {
  pattern.length = 0;
  pattern.taken = 0;
  pattern.misfits = 0;
  pattern.backoff = 0;
  pattern.learnAfter = 0;
}

namespace {

// A pattern that read this many rows paid for its learning; the longest wait.
constexpr std::uint32_t kPaidRows = 64;
constexpr std::uint32_t kLongestWait = 4096;

void waitLonger(RecordPattern& pattern, long long line) {
  pattern.length = 0;
  pattern.learnAfter = line + pattern.backoff;
  pattern.backoff = pattern.backoff == 0 ? 1 : pattern.backoff < kLongestWait ? 2 * pattern.backoff : kLongestWait;
}

}  // namespace

void learnPatternOrWait(RecordPattern& pattern, const char* record, const char* end, std::size_t items,
                        std::uint32_t convert, long long line) {
  if (!learnPattern(pattern, record, end, items, convert)) waitLonger(pattern, line);
}

void notePatternMisfit(RecordPattern& pattern, long long line) {
  ++pattern.misfits;
  // Kept while at least eight records fit it for each that does not.
  if (pattern.misfits <= pattern.taken / 8 + 1) return;
  if (pattern.taken >= kPaidRows) {
    pattern.length = 0;
    pattern.backoff = 0;
    pattern.learnAfter = line;
  } else {
    waitLonger(pattern, line);
  }
}

bool learnPattern(RecordPattern& pattern, const char* record, const char* end, std::size_t items,
                  std::uint32_t convert) {
  pattern.length = 0;
  pattern.toldKnown = false;
  const std::size_t room = static_cast<std::size_t>(end - record) < kPatternBytes
                               ? static_cast<std::size_t>(end - record)
                               : kPatternBytes;
  const auto* lineFeed = static_cast<const char*>(std::memchr(record, '\n', room));
  if (lineFeed == nullptr || items == 0 || items > kPatternItems) return false;
  const std::size_t length = static_cast<std::size_t>(lineFeed - record) + 1;
  for (std::size_t i = 0; i < kPatternBytes; ++i) {
    const auto c = static_cast<unsigned char>(i < length ? record[i] : 0);
    const bool digit = isDigitByte(c);
    pattern.want[i] = pattern.other[i] = digit ? '0' : c;
    pattern.slack[i] = i >= length ? kAnyByte : digit ? kAnyDigit : 0;
    pattern.open[i] = kAnyByte;
  }
  pattern.padded = false;
  std::size_t kept = 0;
  std::size_t at = 0;
  for (std::size_t k = 0; k < items; ++k) {
    // As the one-pass read splits a record: blanks, and between two values
    // at most one comma or semicolon with blanks around it. A padded value's
    // places start after the blank or separator that ends the value before
    // it, or at the record's start.
    std::size_t opening = k == 0 ? 0 : at + 1;
    while (isBlank(static_cast<unsigned char>(record[at]))) ++at;
    if (k > 0 && (byteClass(static_cast<unsigned char>(record[at])) & kComma) != 0) {
      ++at;
      opening = at;
      while (isBlank(static_cast<unsigned char>(record[at]))) ++at;
    }
    if (at + 1 >= length) return false;
    const std::size_t start = at;
    const fast::NumberParts parts = fast::scanParts(record + start);
    const auto offset = [record](const char* part) { return static_cast<std::size_t>(part - record); };
    if (!parts.whole || parts.word != fast::NumberWord::None || offset(parts.end) >= length) return false;
    const std::size_t exponentDigits = offset(parts.end) - offset(parts.exponentDigits);
    if (exponentDigits > 4) return false;
    const bool keep = ((convert >> k) & 1) != 0;
    const std::size_t integerDigits = offset(parts.integerEnd) - offset(parts.first);
    const std::size_t fraction = parts.point ? offset(parts.integerEnd) + 1 : offset(parts.integerEnd);
    const std::size_t fractionDigits = offset(parts.mantissaEnd) - fraction;
    // A value without an exponent or a plus, with a digit before its point:
    // the places from `opening` to its last digit before the point may hold
    // blanks, then a minus, then digits, as a field of a width pads it.
    const std::size_t lastDigit = offset(parts.integerEnd) - 1;
    bool padded = parts.end == parts.mantissaEnd && integerDigits > 0 && record[start] != '+' &&
                  lastDigit > opening && (!keep || lastDigit - opening + 1 + fractionDigits <= 19);
    for (std::size_t i = opening; padded && i < lastDigit; ++i) {
      padded = record[i] == ' ' || record[i] == '-' || isDigitByte(static_cast<unsigned char>(record[i]));
    }
    // Where the value's sign is or could be: its own sign, or a blank before
    // an unsigned value that follows a blank, a separator or nothing (a
    // minus there starts a value; after a digit it would be an exponent).
    std::ptrdiff_t sign = -1;
    const auto lead = static_cast<unsigned char>(record[start]);
    if (padded) {
      for (std::size_t i = opening; i < lastDigit; ++i) {
        pattern.want[i] = ' ';
        pattern.other[i] = '-';
        pattern.slack[i] = 0;
        pattern.open[i] = 0;
      }
      pattern.padded = true;
    } else if (isSignByte(lead)) {
      sign = static_cast<std::ptrdiff_t>(start);
      allow(pattern, start, lead == '-' ? ' ' : '-');
    } else if (start >= 1 && record[start - 1] == ' ' &&
               (start == 1 || separates(static_cast<unsigned char>(record[start - 2])))) {
      sign = static_cast<std::ptrdiff_t>(start - 1);
      allow(pattern, start - 1, '-');
    }
    std::ptrdiff_t exponentSign = -1;
    if (exponentDigits != 0) {
      const std::size_t before = offset(parts.exponentDigits) - 1;
      const auto mark = static_cast<unsigned char>(record[before]);
      if (isSignByte(mark)) {
        exponentSign = static_cast<std::ptrdiff_t>(before);
        allow(pattern, before, mark == '-' ? '+' : '-');
      }
    }
    if (keep) {
      if (integerDigits + fractionDigits > 19) return false;
      PatternValue& value = pattern.values[kept++];
      value.padded = padded;
      value.sign = static_cast<std::int16_t>(sign);
      value.integer = static_cast<std::int16_t>(padded ? opening : offset(parts.first));
      value.fraction = static_cast<std::int16_t>(fraction);
      value.exponent = static_cast<std::int16_t>(offset(parts.exponentDigits));
      value.exponentSign = static_cast<std::int16_t>(exponentSign);
      value.integerDigits = static_cast<std::uint8_t>(padded ? lastDigit - opening + 1 : integerDigits);
      value.fractionDigits = static_cast<std::uint8_t>(fractionDigits);
      value.exponentDigits = static_cast<std::uint8_t>(exponentDigits);
      value.item = static_cast<std::uint8_t>(k);
    }
    at = offset(parts.end);
    // A value ends at a blank or a separator, the last at a blank or the
    // line feed.
    const std::uint8_t ends = k + 1 < items ? kBlank | kComma : kBlank | kRecordEnd;
    if ((byteClass(static_cast<unsigned char>(record[at])) & ends) == 0) return false;
  }
  // Nothing after the last value but blanks.
  while (at < length - 1 && isBlank(static_cast<unsigned char>(record[at]))) ++at;
  if (at != length - 1) return false;
  pattern.items = static_cast<std::uint32_t>(items);
  pattern.convert = convert;
  pattern.kept = static_cast<std::uint32_t>(kept);
  pattern.taken = 0;
  pattern.misfits = 0;
  pattern.length = static_cast<std::uint32_t>(length);
  return true;
}

bool fitsPatternByBytes(const RecordPattern& pattern, const char* record) {
  for (std::size_t i = 0; i < kPatternBytes && pattern.slack[i] != kAnyByte; ++i) {
    const auto c = static_cast<unsigned char>(record[i]);
    bool fits = pattern.slack[i] == kAnyDigit ? isDigitByte(c) : c == pattern.want[i] || c == pattern.other[i];
    if (pattern.open[i] == 0) {
      // A padded place: a blank, a minus or a digit, and after a minus or a
      // digit a digit.
      fits = (c == ' ' || c == '-' || isDigitByte(c)) &&
             (c == ' ' || isDigitByte(static_cast<unsigned char>(record[i + 1])));
    }
    if (!fits) return false;
  }
  return true;
}

bool fitsPattern(const RecordPattern& pattern, const char* record) {
  if (pattern.padded) return fitsBySteps<0, true>(pattern, record, (pattern.length + 15) / 16);
  switch ((pattern.length + 15) / 16) {
    case 1: return fitsBySteps<1>(pattern, record);
    case 2: return fitsBySteps<2>(pattern, record);
    case 3: return fitsBySteps<3>(pattern, record);
    case 4: return fitsBySteps<4>(pattern, record);
    case 5: return fitsBySteps<5>(pattern, record);
    case 6: return fitsBySteps<6>(pattern, record);
    case 7: return fitsBySteps<7>(pattern, record);
    default: return fitsBySteps<8>(pattern, record);
  }
}

PatternRun readPatternRows(const RecordPattern& pattern, const char*& p, const char* end, double* row,
                           std::size_t maxRows) {
  static_assert(kPatternBytes == 8 * 16, "a pattern is checked in at most eight steps");
  if (pattern.padded) {
    if (pattern.kept != 1) return readRows<0, false, kAnyForm, true>(pattern, p, end, row, maxRows);
#if defined(__x86_64__)
    if (widelyChecked(pattern)) return avx2::readPaddedRows(pattern, p, end, row, maxRows);
#endif
    switch ((pattern.length + 15) / 16) {
      case 3: return readRows<3, true, kAnyForm, true>(pattern, p, end, row, maxRows);
      case 4: return readRows<4, true, kAnyForm, true>(pattern, p, end, row, maxRows);
      default: return readRows<0, true, kAnyForm, true>(pattern, p, end, row, maxRows);
    }
  }
#if defined(__x86_64__)
  if (widelyChecked(pattern)) return avx2::readUnpaddedRows(pattern, p, end, row, maxRows);
  if (widelyCheckable(pattern) && usualThrees(pattern)) return avx2::readUsualThrees(pattern, p, end, row, maxRows);
#endif
  switch ((pattern.length + 15) / 16) {
    case 1: return readRows<1>(pattern, p, end, row, maxRows);
    case 2: return readRows<2>(pattern, p, end, row, maxRows);
    case 3: return readRows<3>(pattern, p, end, row, maxRows);
    case 4: return readRows<4>(pattern, p, end, row, maxRows);
    case 5: return readRows<5>(pattern, p, end, row, maxRows);
    case 6: return readRows<6>(pattern, p, end, row, maxRows);
    case 7: return readRows<7>(pattern, p, end, row, maxRows);
    default: return readRows<8>(pattern, p, end, row, maxRows);
  }
}

}  // namespace velmora::detail
