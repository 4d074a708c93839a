// Rectangle arithmetic of the runner and the per-run image list.
#include <gtest/gtest.h>

#include <type_traits>

#include "engine/ImageList.h"
#include "engine/Rect.h"
#include "tests/blurs/BlurTestSupport.h"

namespace {

using fm::Rect;

TEST(RectHelpers, IntersectionAndBoundingBox) {
  EXPECT_EQ(fm::intersection(Rect{0, 0, 10, 10}, Rect{5, -5, 20, 3}), (Rect{5, 0, 10, 3}));
  EXPECT_TRUE(fm::isEmpty(fm::intersection(Rect{0, 0, 10, 10}, Rect{10, 0, 20, 10})));  // touching only
  EXPECT_TRUE(fm::isEmpty(fm::intersection(Rect{0, 0, 10, 10}, Rect{30, 30, 40, 40})));

  EXPECT_EQ(fm::boundingBox(Rect{0, 0, 10, 10}, Rect{20, -5, 30, 3}), (Rect{0, -5, 30, 10}));
  EXPECT_EQ(fm::boundingBox(Rect{5, 5, 5, 9}, Rect{1, 2, 3, 4}), (Rect{1, 2, 3, 4}));  // empty adds nothing
  EXPECT_EQ(fm::boundingBox(Rect{1, 2, 3, 4}, Rect{9, 9, 0, 0}), (Rect{1, 2, 3, 4}));
}

TEST(RectHelpers, ReduceRoundsOutwardAlsoForNegativeCoordinates) {
  EXPECT_EQ(fm::reducedBy(Rect{0, 0, 10, 10}, 4), (Rect{0, 0, 3, 3}));
  EXPECT_EQ(fm::reducedBy(Rect{-1, -8, 1, -7}, 4), (Rect{-1, -2, 1, -1}));
  EXPECT_EQ(fm::reducedBy(Rect{-9, 7, 9, 8}, 8), (Rect{-2, 0, 2, 1}));
  EXPECT_EQ(fm::reducedBy(Rect{INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX}, 64),
            (Rect{-33554432, -33554432, 33554432, 33554432}));
  EXPECT_EQ(fm::reducedBy(Rect{3, 4, 5, 6}, 1), (Rect{3, 4, 5, 6}));
  EXPECT_EQ(fm::reducedBy(Rect{7, 0, 3, 9}, 2), (Rect{7, 0, 3, 9}));  // empty: as it is
}

TEST(RectHelpers, GrowStaysWithinTheCoordinateLimitAndOffsetSaturates) {
  EXPECT_EQ(fm::grownBy(Rect{0, 0, 10, 10}, 3, 0), (Rect{-3, 0, 13, 10}));
  EXPECT_EQ(fm::grownBy(Rect{-999999999, 0, 999999999, 1}, 5, 2000000000),
            (Rect{-1000000000, -1000000000, 1000000000, 1000000000}));
  EXPECT_EQ(fm::grownBy(Rect{INT32_MIN, 0, INT32_MAX, 1}, 0, 0), (Rect{-1000000000, 0, 1000000000, 1}));
  EXPECT_EQ(fm::grownBy(Rect{4, 4, 4, 8}, 10, 10), (Rect{4, 4, 4, 8}));  // empty: not grown

  EXPECT_EQ(fm::offsetBy(Rect{1, 2, 3, 4}, -1, 10), (Rect{0, 12, 2, 14}));
  EXPECT_EQ(fm::offsetBy(Rect{0, 0, 10, 10}, 3000000000LL, -3000000000LL),
            (Rect{INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN}));
}

TEST(ImageList, RaisesSizesRecordsAndReleasesInAllocationOrder) {
  static_assert(!std::is_copy_constructible<fm::ImageList>::value, "one owner per image");
  static_assert(!std::is_copy_assignable<fm::ImageList>::value, "one owner per image");
  blurtest::RecordingBackend be;
  {
    fm::ImageList list(be);
    fm::Buffer* a = list.add(0, -5);
    fm::Buffer* b = list.add(7, 3);
    fm::Buffer* c = list.add(2, 0);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(a->width, 1);
    EXPECT_EQ(a->height, 1);
    EXPECT_EQ(b->width, 7);
    EXPECT_EQ(c->height, 1);
    // Handles stay put as more are added.
    for (int i = 0; i < 20; ++i) ASSERT_NE(list.add(1, 1), nullptr);
    EXPECT_EQ(b->width, 7);
    EXPECT_EQ(list.size(), 23u);
    // Sizes beyond an image's range are refused without asking the backend.
    const size_t asked = be.sizes.size();
    EXPECT_EQ(list.add(int64_t(1) << 32, 1), nullptr);
    EXPECT_EQ(be.sizes.size(), asked);
    // The backend's refusal records nothing.
    EXPECT_EQ(list.add(1 << 20, 1 << 20), nullptr);
    EXPECT_EQ(list.size(), 23u);
  }
  EXPECT_EQ(be.live(), 0u);
  EXPECT_EQ(be.freed, be.allocated);  // same images, same order
}

TEST(ImageList, ReleaseAllEmptiesTheListEarly) {
  fm::ThreadParallel par(1);
  fmtest::CountingBackend be(&par);
  fm::ImageList list(be);
  ASSERT_NE(list.add(4, 4), nullptr);
  ASSERT_NE(list.add(4, 4), nullptr);
  EXPECT_EQ(be.liveImages, 2);
  list.releaseAll();
  EXPECT_EQ(be.liveImages, 0);
  EXPECT_EQ(list.size(), 0u);
  ASSERT_NE(list.add(4, 4), nullptr);
  EXPECT_EQ(be.liveImages, 1);
  list.releaseAll();
  list.releaseAll();  // harmless
  EXPECT_EQ(be.liveImages, 0);
}

}  // namespace
