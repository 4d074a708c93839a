// A frame rendered in pieces equals the frame rendered whole: output rectangles beside,
// above or inside the input give the pixels of a larger render cropped to them.
#include <gtest/gtest.h>

#include "tests/blurs/BlurTestSupport.h"

namespace {

using blurtest::boxSettings;
using blurtest::gaussianSettings;
using fm::Rect;
using fmtest::HostImage;

class RenderCrop : public blurtest::BlurRender {
 protected:
  void check(const RenderSettings& s, const HostImage& image, const Rect& placed, bool outsideToo) {
    const Rect whole = fm::grownBy(placed, 21, 13);
    ASSERT_TRUE(render(s, image, placed, placed, whole)) << message;
    const fmtest::RefImage big = fmtest::refFromBuffer(out, whole);
    std::vector<Rect> pieces = {
        {whole.left, placed.top + 3, placed.left + 4, placed.bottom - 2},    // across the left edge
        {placed.left + 2, whole.top, placed.right - 5, placed.top + 3},      // across the top edge
        {placed.left + 3, placed.top + 2, placed.left + 9, placed.top + 7},  // inside
        {placed.left + 5, placed.top + 1, placed.left + 6, placed.top + 2},  // one pixel
        {placed.left - 7, placed.top - 5, placed.right + 3, placed.bottom + 1},
    };
    if (outsideToo) {
      pieces.push_back({whole.left, placed.top, placed.left - 2, placed.bottom});    // left of the input
      pieces.push_back({placed.left - 3, whole.top, placed.right, placed.top - 1});  // above it
    }
    for (const Rect& piece : pieces) {
      SCOPED_TRACE(::testing::Message()
                   << piece.left << "," << piece.top << " - " << piece.right << "," << piece.bottom);
      ASSERT_TRUE(render(s, image, placed, placed, piece)) << message;
      EXPECT_LE(fmtest::maxDifference(out, piece, big), 2e-5);
    }
  }
};

TEST_F(RenderCrop, BoxBlur) {
  const HostImage image = blurtest::premultipliedImage(40, 30, 41);
  const Rect placed{-11, 6, 29, 36};
  check(boxSettings(3.7, 3, 1, true), image, placed, true);
  check(boxSettings(3.7, 3, 1, false), image, placed, true);
  // Reduced by 2, also with one axis left unblurred.
  check(boxSettings(300, 2, 1, true), image, placed, true);
  check(boxSettings(300, 3, 2, false), image, placed, true);
  check(boxSettings(300, 3, 3, true), image, placed, true);
}

TEST_F(RenderCrop, GaussianBlur) {
  const HostImage image = blurtest::premultipliedImage(40, 30, 42);
  const Rect placed{5, -9, 45, 21};
  check(gaussianSettings(8, false), image, placed, true);
  check(gaussianSettings(30, false), image, placed, true);
  check(gaussianSettings(1000, false, 2), image, placed, true);
  // Repeated edges reach only outputs that meet the input.
  check(gaussianSettings(8, true), image, placed, false);
  check(gaussianSettings(30, true, 1, true), image, placed, false);
  check(gaussianSettings(1000, true, 3), image, placed, false);
}

}  // namespace
