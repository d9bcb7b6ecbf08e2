// The block classifier's AVX-512 form: all sixty-four bytes in one step, each
// byte's classes from the nibble tables by two byte shuffles, each class a
// mask register. Compiled for AVX-512 F and BW (and BMI2) here only; run only
// where the processor has them.
#include <charconv>
#include <cstdint>
#include <system_error>

#include "blockclass.h"
#include "blocktarget.h"
#include "number.h"

#if defined(__x86_64__)
#include <immintrin.h>

VELMORA_TARGET_BEGIN("avx512f,avx512bw,bmi,bmi2")
namespace velmora::detail::avx512 {

template <int kClass>
[[gnu::always_inline]] inline std::uint64_t classMask64(__m512i classes) {
  return _mm512_test_epi8_mask(classes, _mm512_set1_epi8(static_cast<char>(kNibbleTables.classBits[kClass])));
}

[[gnu::always_inline]] inline BlockMasks classify(const char* p) {
  static constexpr std::array<std::uint8_t, 64> kLow = lanes<64>(kNibbleTables.low);
  static constexpr std::array<std::uint8_t, 64> kHigh = lanes<64>(kNibbleTables.high);
  const __m512i lowTable = _mm512_loadu_si512(kLow.data());
  const __m512i highTable = _mm512_loadu_si512(kHigh.data());
  const __m512i nibble = _mm512_set1_epi8(0x0F);
  const __m512i bytes = _mm512_loadu_si512(p);
  const __m512i low = _mm512_shuffle_epi8(lowTable, _mm512_and_si512(bytes, nibble));
  const __m512i high = _mm512_shuffle_epi8(highTable, _mm512_and_si512(_mm512_srli_epi16(bytes, 4), nibble));
  const __m512i classes = _mm512_and_si512(low, high);
  BlockMasks m;
  m.blank = classMask64<kBlockBlank>(classes);
  m.ends = classMask64<kBlockEnds>(classes);
  m.sign = classMask64<kBlockSign>(classes);
  m.exponent = classMask64<kBlockExponent>(classes);
  m.point = classMask64<kBlockPoint>(classes);
  m.digit = _mm512_cmple_epu8_mask(_mm512_sub_epi8(bytes, _mm512_set1_epi8('0')), _mm512_set1_epi8(9));
  m.lineFeed = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\n'));
  return m;
}

#include "blockrows.inc"

BlockMasks classifyOne(const char* p) { return classify(p); }

}  // namespace velmora::detail::avx512
VELMORA_TARGET_END

#endif
