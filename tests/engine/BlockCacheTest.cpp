// The cache of large released blocks: what it hands back, and what it refuses to keep.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/cpu/BlockCache.h"
#include "engine/cpu/CpuBackend.h"

namespace {

constexpr size_t kMiB = size_t(1) << 20;

class BlockCache : public ::testing::Test {
 protected:
  void SetUp() override {
    fm::releaseCachedBlocks();
    void* probe = std::malloc(16 * kMiB);
    if (!fm::offerCachedBlock(probe, 16 * kMiB)) {
      std::free(probe);
      GTEST_SKIP() << "this build keeps no blocks (sanitizers)";
    }
    fm::releaseCachedBlocks();
  }
  void TearDown() override { fm::releaseCachedBlocks(); }
};

TEST_F(BlockCache, HandsBackABlockOfAFittingSize) {
  void* a = std::malloc(32 * kMiB);
  ASSERT_TRUE(fm::offerCachedBlock(a, 32 * kMiB));
  EXPECT_EQ(fm::takeCachedBlock(40 * kMiB), nullptr);  // too small
  EXPECT_EQ(fm::takeCachedBlock(8 * kMiB), nullptr);   // would waste most of it
  EXPECT_EQ(fm::takeCachedBlock(20 * kMiB), a);
  EXPECT_EQ(fm::takeCachedBlock(20 * kMiB), nullptr);  // handed out once only
  EXPECT_TRUE(fm::offerCachedBlock(a, 20 * kMiB));
}

TEST_F(BlockCache, PrefersTheSmallestFittingBlock) {
  void* big = std::malloc(60 * kMiB);
  void* small = std::malloc(34 * kMiB);
  ASSERT_TRUE(fm::offerCachedBlock(big, 60 * kMiB));
  ASSERT_TRUE(fm::offerCachedBlock(small, 34 * kMiB));
  EXPECT_EQ(fm::takeCachedBlock(32 * kMiB), small);
  EXPECT_EQ(fm::takeCachedBlock(32 * kMiB), big);
  EXPECT_TRUE(fm::offerCachedBlock(small, 32 * kMiB));
  EXPECT_TRUE(fm::offerCachedBlock(big, 32 * kMiB));
}

// A block lent for a smaller request comes back at its own size: kept at the size asked for,
// it would later go to requests under half its size, and the cache would count less than it
// holds.
TEST_F(BlockCache, ALentBlockComesBackAtItsOwnSize) {
  void* a = std::malloc(32 * kMiB);
  ASSERT_TRUE(fm::offerCachedBlock(a, 32 * kMiB));
  ASSERT_EQ(fm::takeCachedBlock(16 * kMiB), a);
  ASSERT_TRUE(fm::offerCachedBlock(a, 16 * kMiB));
  void* wasteful = fm::takeCachedBlock(10 * kMiB);
  EXPECT_EQ(wasteful, nullptr);
  if (wasteful) {
    ASSERT_TRUE(fm::offerCachedBlock(wasteful, 10 * kMiB));
  }
  void* whole = fm::takeCachedBlock(32 * kMiB);
  EXPECT_EQ(whole, a);
  if (whole) {
    EXPECT_TRUE(fm::offerCachedBlock(whole, 32 * kMiB));
  }
}

TEST_F(BlockCache, KeepsABoundedNumberAndSize) {
  // Far more than it keeps: the oldest are freed (ASan/LSan would see a double free or a leak).
  const int offered = 200;
  for (int i = 0; i < offered; ++i) {
    void* b = std::malloc(16 * kMiB);
    if (!fm::offerCachedBlock(b, 16 * kMiB)) std::free(b);
  }
  int kept = 0;
  while (void* b = fm::takeCachedBlock(16 * kMiB)) {
    std::free(b);
    ++kept;
  }
  EXPECT_GT(kept, 0);
  EXPECT_LT(kept, offered);
  void* huge = std::malloc(16);
  EXPECT_FALSE(fm::offerCachedBlock(huge, size_t(3) << 30));  // larger than the whole cache
  std::free(huge);
}

TEST_F(BlockCache, CpuImagesReuseReleasedFrames) {
  fm::CpuBackend be(nullptr, nullptr, nullptr);
  fm::Buffer a, b;
  ASSERT_TRUE(be.allocImage(a, 1920, 1080));
  void* first = a.data;
  std::memset(a.data, 0x5A, size_t(a.pitch) * a.height * 16);
  be.freeImage(a);
  ASSERT_TRUE(be.allocImage(b, 1920, 1080));
  EXPECT_EQ(b.data, first);
  EXPECT_EQ(b.pitch, 1920);
  be.freeImage(b);
  // A pyramid made again for the next frame gets every level's block back, quarter-MiB levels
  // included: none is faulted in afresh.
  const int sizes[][2] = {{960, 540}, {480, 270}, {240, 135}, {128, 128}};
  fm::Buffer levels[4];
  void* blocks[4];
  for (int frame = 0; frame < 2; ++frame) {
    for (int i = 0; i < 4; ++i) {
      ASSERT_TRUE(be.allocImage(levels[i], sizes[i][0], sizes[i][1]));
      if (frame == 0) blocks[i] = levels[i].data;
      else EXPECT_EQ(levels[i].data, blocks[i]) << "level " << i;
    }
    for (fm::Buffer& level : levels) be.freeImage(level);
  }
  // Small images never go through the cache.
  fm::Buffer s;
  ASSERT_TRUE(be.allocImage(s, 16, 16));
  be.freeImage(s);
  EXPECT_EQ(fm::takeCachedBlock(16 * 16 * 16), nullptr);
}

// The same through images and tables: a frame's block serving a half-frame image, or a
// large table, goes back whole.
TEST_F(BlockCache, CpuImagesAndTablesGiveBackTheWholeBlock) {
  fm::CpuBackend be(nullptr, nullptr, nullptr);
  fm::Buffer frame, half, quarter, again;
  ASSERT_TRUE(be.allocImage(frame, 2048, 1024));  // 32 MiB
  void* block = frame.data;
  be.freeImage(frame);
  ASSERT_TRUE(be.allocImage(half, 2048, 520));  // 16.25 MiB, 18 MiB in huge pages
  ASSERT_EQ(half.data, block);
  be.freeImage(half);
  ASSERT_TRUE(be.allocImage(quarter, 2048, 300));  // 10 MiB: the block is over twice that
  EXPECT_NE(quarter.data, block);
  ASSERT_TRUE(be.allocImage(again, 2048, 1024));
  EXPECT_EQ(again.data, block);
  be.freeImage(quarter);
  be.freeImage(again);

  std::vector<float> values(size_t(5) << 20, 0.5f);  // 20 MiB
  fm::Table tab;
  ASSERT_TRUE(be.uploadTable(tab, values.data(), values.size()));
  EXPECT_EQ(tab.data, block);
  be.freeTable(tab);
  void* back = fm::takeCachedBlock(32 * kMiB);
  EXPECT_EQ(back, block);
  if (back) {
    EXPECT_TRUE(fm::offerCachedBlock(back, 32 * kMiB));
  }
}

}  // namespace
