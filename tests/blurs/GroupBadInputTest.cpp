// Settings no parameter would give: huge, negative, not a number, infinite; centres and scales
// far outside anything real. Every render must succeed within bounded memory (work images are
// cut to the layer's neighbourhood, sample counts capped) with a finite result.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "tests/blurs/GroupTestSupport.h"

namespace {

using fm::Rect;
using fmtest::HostImage;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Outcome {
  bool ok = false;
  bool finite = true;
  int64_t largestImage = 0;  // pixels of the largest image the render allocated
};

Outcome renderOnce(const RenderSettings& s, const double scale[3]) {
  blurtest::RecordingBackend be;
  const HostImage image = blurtest::premultipliedImage(24, 18, 81);
  const fm::Buffer in = image.buffer();
  const Rect placed{100, 50, 124, 68};
  const Rect outRect = fm::grownBy(placed, 4, 4);
  fm::Buffer out;
  Outcome o;
  o.ok = fm::render(be, s, scale, fm::PlacedImage{&in, placed}, placed, placed, nullptr, outRect, out, nullptr);
  for (const auto& sz : be.sizes) o.largestImage = std::max(o.largestImage, int64_t(sz.first) * sz.second);
  if (o.ok) {
    const float* px = static_cast<const float*>(out.data);
    for (int y = 0; y < out.height; ++y)
      for (int x = 0; x < out.width * 4; ++x) o.finite = o.finite && std::isfinite(px[size_t(y) * out.pitch * 4 + x]);
  }
  be.freeImage(out);
  EXPECT_EQ(be.live(), 0u);
  return o;
}

// Work images never exceed the layer's neighbourhood: its box grown by 1024 and a few pixels.
constexpr int64_t kLargestWork = int64_t(32 + 2 * 1032) * (26 + 2 * 1032);

void expectSane(const Outcome& o) {
  EXPECT_TRUE(o.ok);
  EXPECT_TRUE(o.finite);
  EXPECT_LE(o.largestImage, kLargestWork);
}

TEST(GroupBadInput, DirectionalLengthsAndDirections) {
  const double full[3] = {1, 1, 1};
  const struct {
    double direction, length;
  } cases[] = {{0, 1e9},  {90, kInf},  {45, -1e9},   {1e9, 50},     {-720, 50},
               {kNaN, 50}, {kInf, 50}, {30, kNaN},   {-kInf, kInf},
               {37, 1e300}};  // a diagonal streak past everything: the work is cut to the layer's neighbourhood
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "direction " << c.direction << " length " << c.length);
    const Outcome o = renderOnce(grouptest::directionalSettings(c.direction, c.length), full);
    expectSane(o);
  }
}

TEST(GroupBadInput, DirectionalScales) {
  const RenderSettings s = grouptest::directionalSettings(60, 40);
  const double scales[][3] = {{kNaN, 1, 1}, {1, kInf, 1}, {1, 1, 0}, {1, 1, kNaN}, {1e300, 1, 1}, {-1, -1, -1}};
  for (const auto& sc : scales) {
    SCOPED_TRACE(::testing::Message() << sc[0] << " " << sc[1] << " " << sc[2]);
    const Outcome o = renderOnce(s, sc);
    expectSane(o);
  }
}

TEST(GroupBadInput, RadialAmountsAndCentres) {
  const double full[3] = {1, 1, 1};
  const struct {
    int type;
    double amount, cx, cy;
  } cases[] = {
      {1, 1e9, 112, 59},  {2, 1e9, 112, 59},   {1, kInf, 112, 59},  {1, kNaN, 112, 59},
      {2, -50, 112, 59},  {2, 50, kInf, 59},   {7, 30, 112, 59},
      // Centres far away: sample counts at their cap, work cut to the layer's neighbourhood.
      {1, 10, 1e9, -1e9}, {2, 50, -1e9, 1e9},  {1, 10, kNaN, kInf},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "type " << c.type << " amount " << c.amount << " centre " << c.cx << ","
                                      << c.cy);
    const Outcome o = renderOnce(grouptest::radialSettings(c.type, c.amount, c.cx, c.cy), full);
    expectSane(o);
  }
}

}  // namespace
