// Quick looks at a record's bytes for what could make a cause, sixteen
// bytes a step: most records hold nothing, and are passed in a few steps.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora::explain {

#if defined(__SSE2__)
// Whether `hit` finds anything in a record, sixteen bytes a step, each byte
// given with the byte before it (none before the first); the last step ends
// at the record's end (it may look at some bytes twice). A record shorter
// than a step is looked at in a copy padded with blanks.
template <class Hit>
[[gnu::always_inline]] inline bool anyStepHits(std::string_view t, Hit hit) {
  constexpr std::size_t kStep = 16;
  const auto load = [](const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  if (t.size() < kStep) {
    char padded[kStep];
    std::memset(padded, ' ', sizeof padded);
    if (!t.empty()) std::memcpy(padded, t.data(), t.size());
    const __m128i a = load(padded);
    return hit(a, _mm_slli_si128(a, 1));
  }
  const __m128i first = load(t.data());
  if (hit(first, _mm_slli_si128(first, 1))) return true;
  std::size_t i = kStep;
  for (; i + kStep <= t.size(); i += kStep) {
    if (hit(load(t.data() + i), load(t.data() + i - 1))) return true;
  }
  return i < t.size() && hit(load(t.data() + t.size() - kStep), load(t.data() + t.size() - kStep - 1));
}

// Whether a record of numbers, blanks and separators alone
// (RowRecord::Numbers) may hold a cause: the only ones it can hold are a sign
// right after a digit or point (an exponent) and a separator right after
// one.
inline bool numbersMayHoldCause(std::string_view t) {
  const __m128i plus = _mm_set1_epi8('+'), two = _mm_set1_epi8(2), semicolon = _mm_set1_epi8(';'),
                point = _mm_set1_epi8('.'), eleven = _mm_set1_epi8(11);
  // '+', ',' and '-' are 0x2B to 0x2D; '.' to '9' before, as 0 to 11.
  return anyStepHits(t, [&](__m128i a, __m128i before) {
    const __m128i fromPlus = _mm_sub_epi8(a, plus);
    const __m128i mark = _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(fromPlus, two), fromPlus),
                                      _mm_cmpeq_epi8(a, semicolon));
    const __m128i fromPoint = _mm_sub_epi8(before, point);
    const __m128i digitOrPoint = _mm_cmpeq_epi8(_mm_min_epu8(fromPoint, eleven), fromPoint);
    return _mm_movemask_epi8(_mm_and_si128(mark, digitOrPoint)) != 0;
  });
}

#else
inline bool numbersMayHoldCause(std::string_view t) {
  for (std::size_t i = 1; i < t.size(); ++i) {
    const char c = t[i];
    if ((c == '+' || c == '-' || c == ',' || c == ';') && ((t[i - 1] >= '0' && t[i - 1] <= '9') || t[i - 1] == '.')) return true;
  }
  return false;
}
#endif

}  // namespace velmora::explain
