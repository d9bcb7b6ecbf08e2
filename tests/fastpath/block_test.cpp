// The block classifier's wider forms against the table of byte classes (the
// reference, classifyByBytes, which the baseline form is): random blocks of
// bytes (any byte, and bytes drawn from the grammar's own), at every
// alignment, on every form this processor runs.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "freeformat/blockclass.h"

namespace {

using velmora::detail::BlockMasks;
using velmora::detail::BlockPath;
using velmora::detail::kBlockBytes;

bool operator==(const BlockMasks& a, const BlockMasks& b) {
  return a.blank == b.blank && a.ends == b.ends && a.sign == b.sign && a.exponent == b.exponent &&
         a.point == b.point && a.digit == b.digit && a.lineFeed == b.lineFeed;
}

TEST(BlockClassifier, EveryFormAgreesWithTheTableOnRandomBlocksAtEveryAlignment) {
  // Half of the bytes from the grammar (and their neighbours, which differ
  // from them in one bit), so that every class is dense in the blocks.
  const char grammar[] = " \t\r\n,;/'\"EeDd+-.0123456789\x0b\x0c*)(<>:xX\x80\xa0\xff";
  std::mt19937_64 random(20261209);
  std::vector<char> buffer(4 * kBlockBytes);
  int forms = 0;
  for (BlockPath path : velmora::detail::kBlockPaths) {
    if (path == BlockPath::Baseline || !velmora::detail::blockPathSupported(path)) continue;
    ++forms;
    for (int round = 0; round < 400; ++round) {
      for (char& c : buffer) {
        c = random() % 2 == 0 ? static_cast<char>(random())
                              : static_cast<char>(grammar[random() % (sizeof grammar - 1)] ^ (random() % 8 == 0 ? 1 : 0));
      }
      for (std::size_t offset = 0; offset < 2 * kBlockBytes; ++offset) {
        const char* p = buffer.data() + offset;
        ASSERT_TRUE(velmora::detail::classifyBlock(path, p) == velmora::detail::classifyByBytes(p))
            << velmora::detail::blockPathName(path) << ", round " << round << ", offset " << offset;
      }
    }
  }
  if (forms == 0) GTEST_SKIP() << "this processor has no wider form";
}

TEST(BlockClassifier, EveryByteInEveryPosition) {
  // Each of the 256 bytes at each of the 64 places of a block of spaces.
  std::vector<char> block(kBlockBytes, ' ');
  for (BlockPath path : velmora::detail::kBlockPaths) {
    if (path == BlockPath::Baseline || !velmora::detail::blockPathSupported(path)) continue;
    for (unsigned c = 0; c < 256; ++c) {
      for (std::size_t at = 0; at < kBlockBytes; ++at) {
        block[at] = static_cast<char>(c);
        ASSERT_TRUE(velmora::detail::classifyBlock(path, block.data()) ==
                    velmora::detail::classifyByBytes(block.data()))
            << velmora::detail::blockPathName(path) << ", byte " << c << " at " << at;
        block[at] = ' ';
      }
    }
  }
}

TEST(BlockClassifier, ForcingAFormTheProcessorLacksChangesNothing) {
  const BlockPath before = velmora::detail::activeBlockPath();
  EXPECT_TRUE(velmora::detail::blockPathSupported(BlockPath::Baseline));
  for (BlockPath path : velmora::detail::kBlockPaths) {
    const bool supported = velmora::detail::blockPathSupported(path);
    EXPECT_EQ(velmora::detail::forceBlockPath(path), supported);
    EXPECT_EQ(velmora::detail::activeBlockPath(), supported ? path : BlockPath::Baseline);
    velmora::detail::forceBlockPath(BlockPath::Baseline);
  }
  velmora::detail::forceBlockPath(before);
}

}  // namespace
