// The one-pass read of an ordinary record, and before it the read of a short
// record whole, inline in the caller: the reader's own statements use them,
// and so does a loop that reads a table one row statement at a time
// (readRowOrEnd), which then pays a call only for a record neither takes.
// Private to the reader, the data file loader and their tests.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "fastnumber.h"
#include "freeformat.h"
#include "number.h"
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

// The low n bits set, for 0 <= n <= 8: a table lookup is cheaper than a
// shift by a count held in a register.
inline constexpr std::uint32_t kLowBits[9] = {0, 0x1, 0x3, 0x7, 0xF, 0x1F, 0x3F, 0x7F, 0xFF};

// The widest record the one-load read of a short record takes, its line feed
// included: two sixteen-byte loads from the record's first byte.
inline constexpr std::size_t kShortRecordBytes = 32;
// How many bytes past a buffer's line-feed sentinel that read may reach: its
// loads may start at the sentinel.
inline constexpr std::size_t kShortRecordPadding = kShortRecordBytes - 1;

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
  if (readShortRecord(items, p, line)) return true;
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
    auto [last, error] = detail::parseNumber(p, end_, value);
    if (error != std::errc()) return false;
    p = last;
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

// The one-load read of the short record at `p` (on line `line`): the values
// of the tables that fixed decimals and integers make ("  27.5413 -10.7709
// -23.6142"). The whole record, its line feed within the first
// kShortRecordBytes bytes, is classified at once: every byte before the line
// feed must be a space, a digit, a point or a minus sign, and a minus may only
// open a value. Each value that fills an item must then be an optional minus
// and at most eight digits and points, with at most one point and at least
// one digit: a plain decimal of at most eight digits, which the general rules
// read as the same nearest double (digits / 10^decimals, both exact). Values
// after the last item's are discarded unseen, as the general rules discard
// the rest of a record. Where the values start and end comes from the byte
// classes, not from reading each value first, so the values are independent
// of each other. Any other record, or one with fewer values than items, is
// left to the one-pass read (readRecordFast) and then the general rules;
// items stored before a later value turned the record away are stored
// again, with the same values, by whichever read takes it.
[[gnu::always_inline]] inline bool FreeFormatReader::readShortRecord(std::span<const Item> items, const char* p,
                                                                     long long line) {
#if defined(__SSE2__)
  const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
  auto mask = [](__m128i low, __m128i high) {
    return static_cast<std::uint32_t>(_mm_movemask_epi8(low)) |
           static_cast<std::uint32_t>(_mm_movemask_epi8(high)) << 16;
  };
  auto equal = [&](char c) {
    return mask(_mm_cmpeq_epi8(first, _mm_set1_epi8(c)), _mm_cmpeq_epi8(second, _mm_set1_epi8(c)));
  };
  const std::uint32_t lineFeeds = equal('\n');
  if (lineFeeds == 0) return false;
  const int length = __builtin_ctz(lineFeeds);  // bytes before the line feed, at most 31
  if (p + length == end_) return false;  // the sentinel: the record may go on in the next block
  const std::uint32_t before = (std::uint32_t{1} << length) - 1;
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i firstDigits = _mm_sub_epi8(first, _mm_set1_epi8('0'));
  const __m128i secondDigits = _mm_sub_epi8(second, _mm_set1_epi8('0'));
  const std::uint32_t digits = mask(_mm_cmpeq_epi8(_mm_max_epu8(firstDigits, nine), nine),
                                    _mm_cmpeq_epi8(_mm_max_epu8(secondDigits, nine), nine));
  const std::uint32_t spaces = equal(' ');
  const std::uint32_t points = equal('.');
  const std::uint32_t minuses = equal('-');
  if (((spaces | digits | points | minuses) & before) != before) return false;
  const std::uint32_t value = ~spaces & before;  // the bytes of values
  std::uint32_t starts = value & ~(value << 1);
  std::uint32_t ends = value & ~(value >> 1);   // each value's last byte
  if ((minuses & before & ~starts) != 0) return false;
  // The values; a record of integers (no point in it) skips the point's
  // handling.
  auto readValues = [&]<bool kPoints>() {
#pragma GCC unroll 8
    for (const Item& item : items) {
      if (!item.isNumber() || starts == 0) return false;
      const std::size_t start = static_cast<unsigned>(__builtin_ctz(starts));
      const std::size_t last = static_cast<unsigned>(__builtin_ctz(ends));
      starts &= starts - 1;
      ends &= ends - 1;
      const bool negative = p[start] == '-';
      const std::size_t at = start + negative;  // the first digit or point
      const std::size_t size = last + 1 - at;
      if (size - 1 > 7) return false;  // none, or more than eight
      std::uint64_t word;
      std::memcpy(&word, p + at, sizeof word);
      double magnitude;
      if constexpr (kPoints) {
        const std::uint32_t point = (points >> at) & detail::kLowBits[size];
        if ((point & (point - 1)) != 0) return false;  // two points
        std::size_t decimals = 0;
        std::size_t count = size;
        if (point != 0) {
          const std::size_t integer = static_cast<unsigned>(__builtin_ctz(point));
          if (size == 1) return false;  // a point alone
          word = detail::fast::withoutPoint(word, integer);
          decimals = size - integer - 1;
          count = size - 1;
        }
        magnitude = static_cast<double>(detail::fast::leadingDigitsValue(word, count)) /
                    detail::fast::kPowersOfTen[decimals];
      } else {
        magnitude = static_cast<double>(detail::fast::leadingDigitsValue(word, size));
      }
      *item.number() = detail::fast::withSign(magnitude, negative);
    }
    return true;
  };
  const bool read = (points & before) != 0 ? readValues.template operator()<true>()
                                           : readValues.template operator()<false>();
  if (!read) return false;
  // Values after the last item's are discarded with the rest of the record
  // unseen, as the general rules discard them.
  pos_ = const_cast<char*>(p) + length + 1;
  statementLine_ = line;
  line_ = line + 1;
  endedBySlash_ = false;
  discardPending_ = false;
  return true;
#else
  (void)items;
  (void)p;
  (void)line;
  return false;
#endif
}

}  // namespace velmora
