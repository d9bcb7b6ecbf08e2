// The one-pass read of an ordinary record, inline in the caller: the reader's
// own statements use it, and so does a loop that reads a table one row
// statement at a time (readRowOrEnd), which then pays a call only for a
// record the one-pass read does not take. Private to the reader, the data
// file loader and their tests.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "fastnumber.h"
#include "freeformat.h"
#include "system.h"

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

}  // namespace detail

[[gnu::always_inline]] inline ReadStatus FreeFormatReader::readRowOrEnd(std::span<const Item> items,
                                                                      int statement) {
  assert(fd_ >= 0);
  // A file open for writing only has nothing in the buffer, so the one-pass
  // read never takes a record from it; the general rules report it.
  if (detail::fastPathsEnabled && readRecordFast(items)) return ReadStatus::Ok;
  return readOrEndGeneral(items, statement);
}

// The one-pass read of an ordinary record: number items only, each value in a
// common form, blanks (spaces and tabs) around them, then the record end, all
// before the end of the buffer. A record of any other shape is read by the
// general rules from its start. A value is stored here only once the blank or
// record end after it has been seen; the general rules then store the very
// same value in the same item, as they read the same bytes by the same rules.
[[gnu::always_inline]] inline bool FreeFormatReader::readRecordFast(std::span<const Item> items) {
  const std::size_t count = items.size();
  if (count == 0 || count > detail::kMaxBulkItems) return false;
  const char* p = pos_;
  long long line = line_;
  if (discardPending_) {  // the rest of the previous statement's record
    if (*p != '\n' || p == end_) {
      p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end_ - p)));
      if (p == nullptr) return false;  // it goes on past the buffer
    }
    ++p;
    ++line;
  }
  // Unrolled: where the caller's items are known (a row loop), their kinds
  // and targets are folded away.
#pragma GCC unroll 8
  for (std::size_t k = 0; k < count; ++k) {
    if (!items[k].isNumber()) return false;
    // Blanks: a single space (a predictable branch, so the next value's
    // bytes can be fetched before this one is checked); else up to sixteen
    // spaces in one step with no branch on their number (it varies with the
    // signs of the values); then tabs and any further spaces as they come.
    if (p[1] != ' ' && p[0] == ' ') {
      ++p;
    } else {
      p += detail::leadingSpaces16(p);
    }
    if (static_cast<unsigned char>(*p) <= ' ') {
      while (*p == ' ' || *p == '\t') ++p;
    }
    double value;
    p = detail::parseCommonNumber(p, value);
    if (p == nullptr) return false;
    // A value ends at a blank; the last may also end at the record end.
    if (*p != ' ' && *p != '\t' && (k + 1 < count || (*p != '\n' && *p != '\r') || p == end_)) {
      return false;
    }
    *items[k].number() = value;
  }
  if (*p != '\n') {
    p += detail::leadingSpaces(p);
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\r') ++p;  // before the line feed it belongs to the record end
    if (*p != '\n') return false;  // more values on the record
  }
  if (p == end_) return false;  // the record may go on in the next block
  pos_ = const_cast<char*>(p) + 1;
  statementLine_ = line;
  line_ = line + 1;
  endedBySlash_ = false;
  discardPending_ = false;
  return true;
}

}  // namespace velmora
