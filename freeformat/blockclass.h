// The grammar's byte classes sixty-four bytes at a time, as bit masks (bit i
// for the byte at p + i), and the read of a table's records built on them;
// several forms, one for each width of vector instructions the processor may
// have, chosen once at run time. Private to the reader and its tests.
//
// Every mask comes from the one table of byte classes (grammar.h): the
// wider forms look up each byte's low and high four bits in two
// sixteen-entry tables built from it at compile time and checked against it
// for all 256 bytes; the baseline takes each byte's classes from the table
// itself. Digits and the point, which the table leaves as
// ordinary bytes of a value, are the scanner's own (isDigitByte, '.'); the
// line feed, the one byte of kRecordEnd, is compared for on its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "grammar.h"

namespace velmora::detail {

// The bytes a block's masks cover.
inline constexpr std::size_t kBlockBytes = 64;

// One block's classes: bit i describes the byte at p + i.
struct BlockMasks {
  std::uint64_t blank;     // kBlank
  std::uint64_t ends;      // kEndsValue: blanks, separators, slash, record end
  std::uint64_t sign;      // kSign
  std::uint64_t exponent;  // kExponentLetter
  std::uint64_t point;     // the decimal point
  std::uint64_t digit;     // 0 to 9
  std::uint64_t lineFeed;  // kRecordEnd
};

// The block classifier's own view of a byte, as predicates: the five
// classes it takes from the table, then the point and the digits.
enum BlockClass : std::uint8_t { kBlockBlank, kBlockEnds, kBlockSign, kBlockExponent, kBlockPoint, kBlockClasses };
inline constexpr char kPointByte = '.';

inline constexpr bool inBlockClass(int blockClass, unsigned char c) {
  switch (blockClass) {
    case kBlockBlank:
      return (byteClass(c) & kBlank) != 0;
    case kBlockEnds:
      return (byteClass(c) & kEndsValue) != 0;
    case kBlockSign:
      return (byteClass(c) & kSign) != 0;
    case kBlockExponent:
      return (byteClass(c) & kExponentLetter) != 0;
    case kBlockPoint:
      return c == static_cast<unsigned char>(kPointByte);
    default:
      return false;
  }
}

// The reference: each byte looked up on its own. The forms below must give
// exactly this (tests/fastpath compares them on random blocks).
inline BlockMasks classifyByBytes(const char* p) {
  BlockMasks m{};
  for (std::size_t i = 0; i < kBlockBytes; ++i) {
    const auto c = static_cast<unsigned char>(p[i]);
    const std::uint64_t bit = std::uint64_t{1} << i;
    if (inBlockClass(kBlockBlank, c)) m.blank |= bit;
    if (inBlockClass(kBlockEnds, c)) m.ends |= bit;
    if (inBlockClass(kBlockSign, c)) m.sign |= bit;
    if (inBlockClass(kBlockExponent, c)) m.exponent |= bit;
    if (inBlockClass(kBlockPoint, c)) m.point |= bit;
    if (isDigitByte(c)) m.digit |= bit;
    if ((byteClass(c) & kRecordEnd) != 0) m.lineFeed |= bit;
  }
  return m;
}

// The nibble tables of the wider forms: a byte c is in class k when
// low[c & 15] & high[c >> 4] has one of classBits[k]. Each class's bytes are
// grouped by their high four bits; groups with the same set of low four bits
// share one bit. Built from the predicates and checked against them for
// every byte.
struct NibbleTables {
  std::array<std::uint8_t, 16> low{};
  std::array<std::uint8_t, 16> high{};
  std::array<std::uint8_t, kBlockClasses> classBits{};
};
// A sixteen-entry table repeated for each sixteen-byte lane of a wider register.
template <std::size_t kBytes>
inline constexpr std::array<std::uint8_t, kBytes> lanes(const std::array<std::uint8_t, 16>& table) {
  std::array<std::uint8_t, kBytes> repeated{};
  for (std::size_t i = 0; i < kBytes; ++i) repeated[i] = table[i % 16];
  return repeated;
}
inline constexpr NibbleTables kNibbleTables = [] {
  NibbleTables t{};
  int nextBit = 0;
  for (int k = 0; k < kBlockClasses; ++k) {
    bool highDone[16] = {};
    for (int high = 0; high < 16; ++high) {
      if (highDone[high]) continue;
      std::uint16_t lows = 0;
      for (int low = 0; low < 16; ++low) {
        if (inBlockClass(k, static_cast<unsigned char>(high << 4 | low))) lows |= static_cast<std::uint16_t>(1u << low);
      }
      if (lows == 0) continue;
      if (nextBit == 8) throw "the classes need more than eight bits of a byte";
      const auto bit = static_cast<std::uint8_t>(1u << nextBit++);
      for (int other = high; other < 16; ++other) {
        std::uint16_t otherLows = 0;
        for (int low = 0; low < 16; ++low) {
          if (inBlockClass(k, static_cast<unsigned char>(other << 4 | low))) {
            otherLows |= static_cast<std::uint16_t>(1u << low);
          }
        }
        if (otherLows != lows) continue;
        highDone[other] = true;
        t.high[static_cast<std::size_t>(other)] |= bit;
      }
      for (int low = 0; low < 16; ++low) {
        if ((lows >> low) & 1) t.low[static_cast<std::size_t>(low)] |= bit;
      }
      t.classBits[static_cast<std::size_t>(k)] |= bit;
    }
  }
  for (unsigned c = 0; c < 256; ++c) {
    const auto found = static_cast<std::uint8_t>(t.low[c & 15] & t.high[c >> 4]);
    for (int k = 0; k < kBlockClasses; ++k) {
      if (((found & t.classBits[static_cast<std::size_t>(k)]) != 0) != inBlockClass(k, static_cast<unsigned char>(c))) {
        throw "the nibble tables disagree with the table of byte classes";
      }
    }
  }
  return t;
}();

// The forms, one a vector width. Baseline: what every x86-64 has; its
// classes are the reference's, and the reader keeps its own one-pass read
// there (blockRowsRead is null). The forms a machine lacks are never chosen.
enum class BlockPath : std::uint8_t { Baseline, Avx2, Avx512 };
inline constexpr BlockPath kBlockPaths[] = {BlockPath::Baseline, BlockPath::Avx2, BlockPath::Avx512};
const char* blockPathName(BlockPath path);

// Whether this processor (and its operating system) runs a form.
bool blockPathSupported(BlockPath path);

// The form the reader uses, chosen at the first use: AVX-512 where the
// processor runs it, else the baseline (AVX2 only when forced).
BlockPath activeBlockPath();

// Whether the reader's short record's read and the pattern read's check of
// padded records take thirty-two bytes a step (AVX2) rather than sixteen:
// set when the form is chosen, wherever the processor has AVX2, unless a
// test forces the baseline. Unlike the block read, these cost fewer
// instructions than their sixteen-byte forms.
extern bool wideReads;

// Test-only: makes `path` the form the reader uses. False, and nothing
// changed, when the processor does not run it.
bool forceBlockPath(BlockPath path);

// One form's classifier, for the tests: the masks of the 64 bytes at p.
BlockMasks classifyBlock(BlockPath path, const char* p);

// The read of a table's ordinary records by block masks, one after another
// from p: each `count` values (1 to kMaxBulkItems), blanks around them with
// at most one comma or semicolon between two, then blanks and the record's
// line feed, which is not the buffer's sentinel `end`, all within the 64
// bytes at the record's start. The values whose bits are set in `convert`
// are converted into the record's row (`count` doubles from row + count * i
// for the i-th record); the others are only checked. Stops after maxRows
// records or at the first record of any other shape (a bad value in it, or
// longer than a block), which the caller's rules read from its start (they
// write its row again). Returns how many records it read; p moves past
// them. The bytes up to `end` and kBlockRowPadding after it must be
// readable.
using BlockRowsRead = std::size_t (*)(const char*& p, const char* end, std::size_t count, std::uint32_t convert,
                                      double* row, std::size_t maxRows);
// The reader's form of it, or nullptr when the active form has none (the
// reader's own one-pass read is then the faster); set by the choice.
extern BlockRowsRead blockRowsRead;
// Chooses the form, the first time, and returns blockRowsRead.
BlockRowsRead chooseBlockRowsRead();

// How far past the sentinel the block read's loads may reach: a 64-byte
// block may start at the sentinel.
inline constexpr std::size_t kBlockRowPadding = kBlockBytes - 1;

}  // namespace velmora::detail
