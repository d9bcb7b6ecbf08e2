// The block classifier's AVX2 form: thirty-two bytes a step, each byte's
// classes from the nibble tables by two byte shuffles. Compiled for AVX2
// (and BMI2) here only; run only where the processor has them.
#include <charconv>
#include <cstdint>
#include <system_error>

#include "blockclass.h"
#include "blocktarget.h"
#include "number.h"

#if defined(__x86_64__)
#include <immintrin.h>

VELMORA_TARGET_BEGIN("avx2,bmi,bmi2")
namespace velmora::detail::avx2 {

// A class of one bit of the tables: that bit moved to the top of each byte,
// where the byte mask takes it. Of more bits: any of them set.
template <int kClass>
[[gnu::always_inline]] inline std::uint64_t classMask32(__m256i classes) {
  constexpr unsigned kBits = kNibbleTables.classBits[kClass];
  if constexpr ((kBits & (kBits - 1)) == 0) {
    constexpr int kShift = 7 - __builtin_ctz(kBits);
    const __m256i top = kShift == 0 ? classes : _mm256_slli_epi16(classes, kShift);
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(top));
  } else {
    const __m256i bits = _mm256_set1_epi8(static_cast<char>(kBits));
    const __m256i none = _mm256_cmpeq_epi8(_mm256_and_si256(classes, bits), _mm256_setzero_si256());
    return static_cast<std::uint32_t>(~_mm256_movemask_epi8(none));
  }
}

[[gnu::always_inline]] inline BlockMasks classify(const char* p) {
  static constexpr std::array<std::uint8_t, 32> kLow = lanes<32>(kNibbleTables.low);
  static constexpr std::array<std::uint8_t, 32> kHigh = lanes<32>(kNibbleTables.high);
  const __m256i lowTable = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kLow.data()));
  const __m256i highTable = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kHigh.data()));
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  BlockMasks m{};
  for (unsigned step = 0; step < kBlockBytes / 32; ++step) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * step));
    const __m256i low = _mm256_shuffle_epi8(lowTable, _mm256_and_si256(bytes, nibble));
    const __m256i high = _mm256_shuffle_epi8(highTable, _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble));
    const __m256i classes = _mm256_and_si256(low, high);
    const unsigned shift = 32 * step;
    m.blank |= classMask32<kBlockBlank>(classes) << shift;
    m.ends |= classMask32<kBlockEnds>(classes) << shift;
    m.sign |= classMask32<kBlockSign>(classes) << shift;
    m.exponent |= classMask32<kBlockExponent>(classes) << shift;
    m.point |= classMask32<kBlockPoint>(classes) << shift;
    const __m256i values = _mm256_sub_epi8(bytes, _mm256_set1_epi8('0'));
    const __m256i digits = _mm256_cmpeq_epi8(_mm256_min_epu8(values, _mm256_set1_epi8(9)), values);
    m.digit |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(digits))} << shift;
    const __m256i lineFeeds = _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\n'));
    m.lineFeed |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(lineFeeds))} << shift;
  }
  return m;
}

#include "blockrows.inc"

BlockMasks classifyOne(const char* p) { return classify(p); }

}  // namespace velmora::detail::avx2
VELMORA_TARGET_END

#endif
