// The tracked render's image pool: stable records, early release, and nothing left behind.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "engine/ThreadParallel.h"
#include "tests/support/TestBackends.h"
#include "tracking/ScratchPool.h"

namespace {

TEST(ScratchPool, RecordsStayPutAndEverythingIsReleasedAtTheEnd) {
  fm::ThreadParallel par(1);
  fmtest::CountingBackend be(&par);
  {
    fm::ScratchPool pool(be);
    fm::Buffer* first = pool.take(0, -3);  // sizes are raised to 1
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->width, 1);
    EXPECT_EQ(first->height, 1);
    void* const firstData = first->data;
    std::vector<fm::Buffer*> more;
    for (int i = 0; i < 200; ++i) more.push_back(pool.take(3 + i % 5, 2));
    // Hundreds of records later the first one still names the same image.
    EXPECT_EQ(first->data, firstData);
    EXPECT_EQ(pool.held(), 201u);
    pool.release(more[10]);
    pool.release(more[10]);  // twice is harmless
    pool.release(nullptr);
    EXPECT_EQ(more[10]->data, nullptr);
    EXPECT_EQ(pool.held(), 200u);
    EXPECT_EQ(be.liveImages, 200);
    EXPECT_EQ(more[11]->width, 3 + 11 % 5);
  }
  EXPECT_EQ(be.liveImages, 0);
}

TEST(ScratchPool, RefusedImagesLeaveNoRecord) {
  fm::ThreadParallel par(1);
  fmtest::CountingBackend be(&par);
  fm::ScratchPool pool(be);
  ASSERT_NE(pool.take(4, 4), nullptr);
  be.failAlloc = 2;
  EXPECT_EQ(pool.take(4, 4), nullptr);
  EXPECT_EQ(pool.take(int64_t(1) << 40, 1), nullptr);  // does not fit an image
  EXPECT_EQ(pool.take(1 << 20, 1 << 20), nullptr);      // the backend's size limit
  EXPECT_EQ(pool.held(), 1u);
  pool.releaseAll();
  EXPECT_EQ(pool.held(), 0u);
  EXPECT_EQ(be.liveImages, 0);
  EXPECT_NE(pool.take(2, 2), nullptr);  // usable again after releaseAll
}

}  // namespace
