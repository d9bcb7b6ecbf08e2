// Helpers of the reader's faster reads of a record: blanks skipped several at
// a time, and the sizes a short record's read relies on. Private to the reader.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif


namespace velmora {

namespace detail {

// The most items a statement may have for the one-pass read of a record.
inline constexpr std::size_t kMaxBulkItems = 8;

// How many spaces `p` starts with, up to eight, found without a loop (the
// number of blanks between values varies, so a loop would mispredict). The
// buffer's padding makes the eight-byte load safe, and the line-feed sentinel
// is not a space.
inline std::size_t leadingSpaces(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  word ^= 0x2020202020202020ULL;  // spaces become zero bytes
  std::uint64_t nonzero = (((word & 0x7f7f7f7f7f7f7f7fULL) + 0x7f7f7f7f7f7f7f7fULL) | word) &
                          0x8080808080808080ULL;
  return nonzero == 0 ? 8 : static_cast<std::size_t>(__builtin_ctzll(nonzero)) / 8;
}

// How many bytes past a buffer's line-feed sentinel the blank skip may read:
// its sixteen-byte load may start at the sentinel.
inline constexpr std::size_t kBlankPadding = 15;

// How many spaces `p` starts with, up to sixteen, in one step. The
// buffer's padding makes the sixteen-byte load safe from any byte up to its
// line-feed sentinel, which is not a space.
inline std::size_t leadingSpaces16(const char* p) {
#if defined(__SSE2__)
  __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  auto spaces = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '))));
  return static_cast<std::size_t>(__builtin_ctz(~spaces));  // bits 16 and up of ~spaces are set
#else
  std::size_t first = leadingSpaces(p);
  return first < 8 ? first : 8 + leadingSpaces(p + 8);
#endif
}

// The widest record the one-load read of a short record takes, its line feed
// included: two sixteen-byte loads from the record's first byte.
inline constexpr std::size_t kShortRecordBytes = 32;
// How many bytes past a buffer's line-feed sentinel that read may reach: its
// loads may start at the sentinel.
inline constexpr std::size_t kShortRecordPadding = kShortRecordBytes - 1;

}  // namespace detail

}  // namespace velmora
