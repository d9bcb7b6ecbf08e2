// Which form of the block classifier runs: chosen once, at the first table
// of rows read, by the processor's features (as the compiler's run-time support
// reports them, which asks the operating system too whether it saves the
// wider registers). Nothing outside the processor chooses it; tests may
// force one (forceBlockPath).
#include <cstdint>

#include "blockclass.h"

namespace velmora::detail {

#if defined(__x86_64__)
namespace avx2 {
std::size_t readRows(const char*& p, const char* end, std::size_t count, std::uint32_t convert, double* row,
                     std::size_t maxRows);
BlockMasks classifyOne(const char* p);
}  // namespace avx2
namespace avx512 {
std::size_t readRows(const char*& p, const char* end, std::size_t count, std::uint32_t convert, double* row,
                     std::size_t maxRows);
BlockMasks classifyOne(const char* p);
}  // namespace avx512
#endif

namespace {

struct BlockForm {
  BlockRowsRead readRows;  // nullptr: the reader's own one-pass read is the faster
  BlockMasks (*classify)(const char*);
};

BlockForm formOf(BlockPath path) {
  switch (path) {
#if defined(__x86_64__)
    case BlockPath::Avx2:
      return {avx2::readRows, avx2::classifyOne};
    case BlockPath::Avx512:
      return {avx512::readRows, avx512::classifyOne};
#else
    case BlockPath::Avx2:
    case BlockPath::Avx512:
      break;
#endif
    case BlockPath::Baseline:
      break;
  }
  // The baseline has no block read: SSE2 has no byte shuffle for the nibble
  // tables, and comparing each class's members cost more than the reader's
  // own one-pass read saves (bench/README.md). Its classes are the
  // reference's.
  return {nullptr, classifyByBytes};
}

// The form a program uses unless a test forces one: AVX-512 where the
// processor has it, else the baseline. The AVX2 form reads correctly and
// takes less time than the one-pass read on records of one block, but it
// executes about 1.4 times the instructions (thirty-two bytes a step: twice
// the steps and the masks' halves joined), so it is not chosen; tests and
// bench/ reach it by forcing it.
BlockPath bestPath() {
  if (blockPathSupported(BlockPath::Avx512)) return BlockPath::Avx512;
  return BlockPath::Baseline;
}

bool chosen = false;
BlockPath active = BlockPath::Baseline;

// `forced`: a test asked for this form. The short read and the pattern
// read's check take thirty-two bytes a step wherever the processor has AVX2
// (fewer instructions than sixteen bytes a step, unlike the block read),
// except on the baseline a test forces, which keeps every step sixteen
// bytes.
void choose(BlockPath path, bool forced) {
  active = path;
  chosen = true;
  blockRowsRead = formOf(path).readRows;
  wideReads = path != BlockPath::Baseline || (!forced && blockPathSupported(BlockPath::Avx2));
}

}  // namespace

BlockRowsRead blockRowsRead = nullptr;
bool wideReads = false;

BlockRowsRead chooseBlockRowsRead() {
  if (!chosen) choose(bestPath(), false);
  return blockRowsRead;
}

const char* blockPathName(BlockPath path) {
  switch (path) {
    case BlockPath::Avx2:
      return "avx2";
    case BlockPath::Avx512:
      return "avx512";
    case BlockPath::Baseline:
      break;
  }
  return "baseline";
}

bool blockPathSupported(BlockPath path) {
#if defined(__x86_64__)
  __builtin_cpu_init();
  switch (path) {
    case BlockPath::Avx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
    case BlockPath::Avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
    case BlockPath::Baseline:
      break;
  }
#endif
  return path == BlockPath::Baseline;
}

BlockPath activeBlockPath() {
  if (!chosen) choose(bestPath(), false);
  return active;
}

bool forceBlockPath(BlockPath path) {
  if (!blockPathSupported(path)) return false;
  choose(path, true);
  return true;
}

BlockMasks classifyBlock(BlockPath path, const char* p) { return formOf(path).classify(p); }

}  // namespace velmora::detail
