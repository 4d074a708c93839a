// The lens, reduction and enlargement kernels: values against plain references, CPU equal to
// OpenCL, and the CPU's row runner for the constant-radius gather equal to the kernel.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "tests/support/KernelRun.h"

namespace {

using fmtest::HostImage;
using fmtest::KernelCall;
using fmtest::Px;

HostImage mixedImage(int w, int h, uint32_t seed) {
  HostImage im = fmtest::randomImage(w, h, seed, -0.5f, 1.5f);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      Px& q = im.at(x, y);
      if ((x + 2 * y) % 9 == 0) q = Px{};
      else q.a = std::fabs(q.a) / 1.5f;  // alpha in [0, 1): premultiplied content
    }
  return im;
}

HostImage prefixOf(const HostImage& src) {
  HostImage pre(src.width() + 1, src.height());
  KernelCall c;
  c.kernel = FM_K_PREFIX_ROWS;
  c.dst = &pre;
  c.srcA = &src;
  c.params = fmtest::blockFor(&pre, &src, nullptr);
  c.gridW = 1;
  c.gridH = src.height();
  EXPECT_TRUE(fmtest::runOnCpu(c));
  return pre;
}

TEST(PrefixRows, CompensatedSumsStayExact) {
  // One huge pixel followed by many small ones: a plain float sum would drop them.
  HostImage src(2001, 1);
  src.at(0, 0) = {1e4f, 0, 0, 0};
  for (int x = 1; x < 2001; ++x) src.at(x, 0) = {1e-3f, 1, 0, 0};
  HostImage pre = prefixOf(src);
  EXPECT_EQ(pre.at(0, 0).r, 0.0f);
  EXPECT_NEAR(pre.at(2001, 0).r - pre.at(1, 0).r, 2.0, 1e-3);
  EXPECT_EQ(pre.at(2001, 0).g, 2000.0f);
}

TEST(PrefixRows, CpuEqualsOpenclAndIgnoresOtherColumns) {
  HostImage src = mixedImage(77, 19, 3);
  HostImage pre = fmtest::randomImage(78, 19, 4);
  KernelCall c;
  c.kernel = FM_K_PREFIX_ROWS;
  c.dst = &pre;
  c.srcA = &src;
  c.params = fmtest::blockFor(&pre, &src, nullptr);
  c.params.y1 = 17;  // two rows stay as they were
  c.gridW = 3;       // columns other than 0 do nothing
  c.gridH = 19;
  EXPECT_EQ(fmtest::compareTargets(c, 1e-5f, 1e-6f), "");
}

// A constant-radius call over a prefix image: spans of a disc of radius 3.4.
struct Gather {
  HostImage src, pre, dst;
  std::vector<float> spans;
  KernelCall call;
  Gather(int w, int h, int edge, int flags) : src(mixedImage(w, h, 5)), pre(prefixOf(src)), dst(fmtest::randomImage(w, h, 6)) {
    double total = 0;
    for (int dy = -3; dy <= 3; ++dy) {
      const float half = float(std::sqrt(3.4 * 3.4 - dy * dy));
      spans.insert(spans.end(), {float(dy), -half, half, dy == 0 ? 1.0f : 0.9f});
      total += 2 * half * (dy == 0 ? 1.0 : 0.9);
    }
    call.kernel = FM_K_LENS_GATHER;
    call.dst = &dst;
    call.srcA = &pre;
    call.table = &spans;
    call.params = fmtest::blockFor(&dst, &pre, nullptr);
    call.params.count = int(spans.size() / 4);
    call.params.norm = float(1.0 / total);
    call.params.channel = edge;
    call.params.lo = 2;
    call.params.hi = w - 3;
    call.params.lo2 = 1;
    call.params.hi2 = h - 2;
    call.params.flags = flags;
    call.gridW = w;
    call.gridH = h;
  }
};

TEST(LensGather, ConstantImageStaysConstantInClampMode) {
  Gather g(30, 20, FM_EDGE_CLAMP, 0);
  g.src.fill({0.3f, 0.6f, 0.9f, 1.0f});
  g.pre = prefixOf(g.src);
  ASSERT_TRUE(fmtest::runOnCpu(g.call));
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 30; ++x) ASSERT_NEAR(g.dst.at(x, y).g, 0.6f, 1e-5f) << x << "," << y;
  // Zero mode: the same image darkens towards its edges.
  g.call.params.channel = FM_EDGE_ZERO;
  ASSERT_TRUE(fmtest::runOnCpu(g.call));
  EXPECT_NEAR(g.dst.at(15, 10).a, 1.0f, 1e-5f);
  EXPECT_LT(g.dst.at(0, 0).a, 0.5f);
}

TEST(LensGather, ConstantRadiusMatchesDirectSum) {
  Gather g(25, 18, FM_EDGE_ZERO, 0);
  ASSERT_TRUE(fmtest::runOnCpu(g.call));
  // Partial pixels at fractional span ends count in proportion.
  for (int y = 0; y < 18; y += 3)
    for (int x = 0; x < 25; x += 2) {
      double want = 0;
      for (size_t s = 0; s < g.spans.size(); s += 4) {
        const int row = y + int(g.spans[s]);
        if (row < 0 || row >= 18) continue;
        const double l = x + 0.5 + g.spans[s + 1], r = x + 0.5 + g.spans[s + 2];
        for (int i = 0; i < 25; ++i) {
          const double cover = std::max(0.0, std::min(r, i + 1.0) - std::max(l, double(i)));
          want += cover * g.src.at(i, row).b * g.spans[s + 3];
        }
      }
      ASSERT_NEAR(g.dst.at(x, y).b, want * g.call.params.norm, 2e-5) << x << "," << y;
    }
}

TEST(LensGather, RowRunnerEqualsWorkItemsExactly) {
  // Offset 10 puts the second tile's span ends within one power of two, where the runner takes
  // each span's cells and fractions once for the whole tile.
  for (int ax : {1, 10})
    for (int edge : {FM_EDGE_ZERO, FM_EDGE_CLAMP})
      for (int flags : {0, FM_F_ACCUM}) {
        Gather g(300, 23, edge, flags);  // wider than one 256-pixel tile
        g.call.params.ax = ax;
        g.call.params.ay = -2;
        HostImage viaItems = g.dst;
        ASSERT_TRUE(fmtest::runOnCpu(g.call, 3));
        KernelCall items = g.call;
        items.dst = &viaItems;
        ASSERT_TRUE(fmtest::runItemsOnCpu(items));
        EXPECT_EQ(fmtest::firstDifference(g.dst, viaItems), "") << ax << " " << edge << " " << flags;
      }
}

// Spans wider than the image, reversed, far outside, with NaN ends and weights of every sign:
// the runner's plain run and the pixels around it must still match the kernel. An infinite
// weight on a row outside turns every sum into NaN, so it gets a case of its own.
TEST(LensGather, RowRunnerEqualsWorkItemsOnOddSpans) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const std::vector<float> odd = {0.0f,  -40.0f, 45.0f, 1.0f,  -2.0f, 3.5f,   -3.5f,  0.5f,  1.0f,   -0.25f,
                                  0.75f, -0.6f,  40.0f, -2.0f, 2.0f,  0.7f,   2.0f,   nan,   1.0f,   1.0f,
                                  3.0f,  -1.0f,  nan,   1.0f,  -1.0f, 68.5f,  69.5f,  0.3f,  1.0f,   -69.9f,
                                  -68.8f, 0.2f};
  const std::vector<float> infinite = {0.0f, -2.0f, 2.0f, 1.0f, -30.0f, -1.0f, 1.0f, inf};
  for (const std::vector<float>* spans : {&odd, &infinite})
    for (int edge : {FM_EDGE_ZERO, FM_EDGE_CLAMP}) {
      Gather g(70, 15, edge, 0);
      g.spans = *spans;
      g.call.params.count = int(g.spans.size() / 4);
      g.call.params.ax = -2;
      g.call.params.ay = 1;
      HostImage viaItems = g.dst;
      ASSERT_TRUE(fmtest::runOnCpu(g.call, 2));
      KernelCall items = g.call;
      items.dst = &viaItems;
      ASSERT_TRUE(fmtest::runItemsOnCpu(items));
      EXPECT_EQ(fmtest::firstDifference(g.dst, viaItems), "") << edge;
      if (spans == &odd) {
        EXPECT_TRUE(std::isfinite(g.dst.at(20, 7).r));  // not NaN throughout
      }
    }
}

TEST(LensGather, ConstantRadiusCpuEqualsOpencl) {
  for (int edge : {FM_EDGE_ZERO, FM_EDGE_CLAMP}) {
    Gather g(41, 27, edge, FM_F_ACCUM);
    EXPECT_EQ(fmtest::compareTargets(g.call, 1e-5f, 1e-5f), "") << edge;
  }
}

// Per-pixel radius with a circular iris table of 33 rows.
struct VariableGather : Gather {
  HostImage radius;
  std::vector<float> iris;
  VariableGather(int w, int h, int flags, float maxRadius)
      : Gather(w, h, FM_EDGE_CLAMP, flags), radius(fmtest::randomImage(w, h, 9, -1.0f, 9.0f)) {
    for (int i = 0; i < 33; ++i) {
      const double yn = -1 + 2.0 * i / 32;
      const float half = float(std::sqrt(std::max(0.0, 1 - yn * yn)));
      iris.insert(iris.end(), {-half, half});
    }
    call.table = &iris;
    call.srcB = &radius;
    call.params = fmtest::blockFor(&dst, &pre, &radius);
    call.params.mode = 1;
    call.params.count = 33;
    call.params.channel = FM_EDGE_CLAMP;
    call.params.lo = 0;
    call.params.hi = w;
    call.params.lo2 = 0;
    call.params.hi2 = h;
    call.params.flags = flags;
    call.params.g0 = 1.0f;        // vertical half-extent of the table
    call.params.g1 = 1.25f;       // x pixels per y pixel
    call.params.g2 = maxRadius;
    call.params.g3 = 0.94f;       // inner ring scale
    call.params.g4 = 0.3f;        // ring weight
  }
};

TEST(LensGather, VariableRadiusCpuEqualsOpencl) {
  for (int flags : {0, FM_F_FRINGE, FM_F_FRINGE | FM_F_ACCUM}) {
    VariableGather g(37, 29, flags, 6.0f);
    EXPECT_EQ(fmtest::compareTargets(g.call, 2e-5f, 2e-5f), "") << flags;
  }
}

TEST(LensGather, VariableRadiusLimitsAndEmptyIris) {
  VariableGather g(20, 15, 0, 4.0f);
  g.src.fill({0.2f, 0.4f, 0.6f, 0.8f});
  g.pre = prefixOf(g.src);
  g.radius.fill({-3.0f, 0, 0, 0});  // below 0.5: the pixel keeps about its own value
  ASSERT_TRUE(fmtest::runOnCpu(g.call));
  EXPECT_NEAR(g.dst.at(10, 7).g, 0.4f, 1e-5f);
  g.radius.fill({std::nanf(""), 0, 0, 0});  // a NaN radius counts as the smallest
  ASSERT_TRUE(fmtest::runOnCpu(g.call));
  EXPECT_NEAR(g.dst.at(10, 7).g, 0.4f, 1e-5f);
  for (float& v : g.iris) v = 0.0f;  // every span empty: no area, transparent
  ASSERT_TRUE(fmtest::runOnCpu(g.call));
  EXPECT_EQ(g.dst.at(10, 7).a, 0.0f);
  g.call.params.count = 1;  // a one-row table cannot be interpolated: transparent, no read past it
  ASSERT_TRUE(fmtest::runOnCpu(g.call));
  EXPECT_EQ(g.dst.at(3, 3).a, 0.0f);
}

KernelCall prepCall(int kernel, HostImage& dst, const HostImage& src, int flags) {
  KernelCall c;
  c.kernel = kernel;
  c.dst = &dst;
  c.srcA = kernel == FM_K_LENS_FINISH ? nullptr : &src;
  c.params = fmtest::blockFor(&dst, c.srcA, nullptr);
  c.params.flags = flags;
  c.params.g0 = 2.5f;   // gain
  c.params.g1 = 0.6f;   // threshold
  c.params.g2 = 0.4f;   // saturation
  c.params.g3 = 1.5f;   // gain scale
  c.gridW = dst.width();
  c.gridH = dst.height();
  return c;
}

TEST(LensPrepFinish, TransparentStaysTransparentAndRoundTripKeepsColour) {
  HostImage src = mixedImage(16, 9, 11);
  src.at(3, 3) = {0.5f, 0.5f, 0.5f, 0.0f};
  src.at(4, 3) = {-0.3f, 1.7f, 0.25f, 0.5f};  // negative and over-range colour survive
  src.at(5, 3) = {1e-9f, 1e-9f, 1e-9f, 1e-8f};  // alpha below 1e-7 ends transparent
  for (int flags : {FM_F_LINEAR, FM_F_LINEAR | FM_F_SRGB}) {
    HostImage lin(16, 9);
    ASSERT_TRUE(fmtest::runOnCpu(prepCall(FM_K_LENS_PREP, lin, src, flags)));
    EXPECT_EQ(lin.at(3, 3).a, 0.0f);
    EXPECT_EQ(lin.at(3, 3).r, 0.0f);
    EXPECT_LT(lin.at(4, 3).r, 0.0f);
    HostImage back = lin;
    ASSERT_TRUE(fmtest::runOnCpu(prepCall(FM_K_LENS_FINISH, back, back, flags)));
    for (int y = 0; y < 9; ++y)
      for (int x = 0; x < 16; ++x) {
        const Px& a = src.at(x, y);
        const Px& b = back.at(x, y);
        if (!(a.a > 1e-7f)) {
          ASSERT_EQ(b.a, 0.0f);
          ASSERT_EQ(b.r, 0.0f);
          continue;
        }
        ASSERT_NEAR(b.r, a.r, 2e-5f) << x << "," << y;
        ASSERT_NEAR(b.g, a.g, 2e-5f) << x << "," << y;
        ASSERT_NEAR(b.a, a.a, 0.0f);
      }
    EXPECT_EQ(back.at(5, 3).a, 0.0f);
    EXPECT_EQ(back.at(5, 3).r, 0.0f);
  }
}

TEST(LensPrepFinish, HighlightBoostAboveThresholdOnly) {
  HostImage src(2, 1), dst(2, 1);
  src.at(0, 0) = {0.5f, 0.5f, 0.5f, 1.0f};  // below the threshold: unchanged
  src.at(1, 0) = {0.45f, 0.45f, 0.45f, 0.5f};  // straight 0.9: boosted
  ASSERT_TRUE(fmtest::runOnCpu(prepCall(FM_K_LENS_PREP, dst, src, FM_F_HIGHLIGHT)));
  EXPECT_FLOAT_EQ(dst.at(0, 0).r, 0.5f);
  const float e = (0.9f - 0.6f) / 0.4f, m = 2.5f * 1.5f * e * e;
  EXPECT_NEAR(dst.at(1, 0).r, (0.9f + m * 0.9f) * 0.5f, 1e-5f);
  EXPECT_EQ(dst.at(1, 0).a, 0.5f);
  // A threshold of 1 never boosts, over-range float pixels included; just below it, an
  // over-range pixel is boosted by the formula.
  src.at(0, 0) = {1.1f, 1.1f, 1.1f, 1.0f};
  src.at(1, 0) = {1.0f, 1.0f, 1.0f, 0.5f};  // straight 2
  KernelCall top = prepCall(FM_K_LENS_PREP, dst, src, FM_F_HIGHLIGHT);
  top.params.g1 = 1.0f;
  ASSERT_TRUE(fmtest::runOnCpu(top));
  EXPECT_EQ(dst.at(0, 0).r, 1.1f);
  EXPECT_EQ(dst.at(1, 0).g, 1.0f);
  top.params.g1 = 0.99f;
  ASSERT_TRUE(fmtest::runOnCpu(top));
  EXPECT_GT(dst.at(0, 0).r, 1.2f);
}

TEST(LensPrepFinish, CpuEqualsOpencl) {
  // Straight colour in [-0.5, 1.5) over alphas from 0.05: the highlight boost subtracts nearly
  // equal terms, so colours that are extreme only through a tiny alpha are tested without it.
  HostImage straight = fmtest::randomImage(33, 21, 12, -0.5f, 1.5f);
  HostImage src = straight;
  for (int y = 0; y < 21; ++y)
    for (int x = 0; x < 33; ++x) {
      Px& q = src.at(x, y);
      q.a = 0.05f + 0.95f * std::fabs(straight.at(x, y).a) / 1.5f;
      q.r *= q.a;
      q.g *= q.a;
      q.b *= q.a;
    }
  const HostImage extreme = mixedImage(33, 21, 12);
  for (int flags : {0, FM_F_LINEAR, FM_F_LINEAR | FM_F_SRGB, FM_F_HIGHLIGHT | FM_F_LINEAR, FM_F_HIGHLIGHT}) {
    for (const HostImage* in : {static_cast<const HostImage*>(&src), &extreme}) {
      if (in == &extreme && (flags & FM_F_HIGHLIGHT)) continue;
      HostImage dst = fmtest::randomImage(33, 21, 13);
      // The CPU reads its curves from tables inside [0, 1]; outside, both use a power function
      // whose last bits the OpenCL library may round differently.
      EXPECT_EQ(fmtest::compareTargets(prepCall(FM_K_LENS_PREP, dst, *in, flags), 2e-6f, 1e-5f), "") << flags;
      HostImage inPlace = *in;
      EXPECT_EQ(fmtest::compareTargets(prepCall(FM_K_LENS_FINISH, inPlace, inPlace, flags), 2e-6f, 1e-5f), "")
          << flags;
    }
  }
}

TEST(LensRadius, FromMapChannelFocalAndInversion) {
  HostImage map(4, 4), dst(8, 8);
  map.fill({0.2f, 0.9f, 0.1f, 1.0f});
  KernelCall c;
  c.kernel = FM_K_LENS_RADIUS;
  c.dst = &dst;
  c.srcA = &map;
  c.params = fmtest::blockFor(&dst, &map, nullptr);
  c.params.channel = FM_CH_GREEN;
  c.params.g0 = 0.5f;  // the map covers the destination at half resolution
  c.params.g2 = 0.5f;
  c.params.g4 = 10.0f;
  c.params.g5 = 0.4f;
  c.gridW = c.gridH = 8;
  ASSERT_TRUE(fmtest::runOnCpu(c));
  EXPECT_NEAR(dst.at(3, 3).r, 10.0f * 0.5f + 0.5f, 1e-5f);
  EXPECT_EQ(dst.at(3, 3).g, 0.0f);
  c.params.mode = 1;  // inverted: 1 - 0.9
  ASSERT_TRUE(fmtest::runOnCpu(c));
  EXPECT_NEAR(dst.at(3, 3).r, 10.0f * 0.3f + 0.5f, 1e-5f);
  for (int ch = 1; ch <= 8; ++ch) {
    HostImage out = fmtest::randomImage(13, 11, 14);
    HostImage m = mixedImage(9, 7, 15);
    c.dst = &out;
    c.srcA = &m;
    c.params = fmtest::blockFor(&out, &m, nullptr);
    c.params.channel = ch;
    c.params.mode = ch % 2;
    c.params.g0 = 0.7f;
    c.params.g1 = -0.6f;
    c.params.g2 = 0.65f;
    c.params.g3 = 0.3f;
    c.params.g4 = 7.0f;
    c.params.g5 = 0.25f;
    c.gridW = 13;
    c.gridH = 11;
    EXPECT_EQ(fmtest::compareTargets(c, 1e-5f, 1e-5f), "") << "channel " << ch;
  }
}

KernelCall downCall(HostImage& dst, const HostImage& src, int n, int mode) {
  KernelCall c;
  c.kernel = FM_K_DOWN;
  c.dst = &dst;
  c.srcA = &src;
  c.params = fmtest::blockFor(&dst, &src, nullptr);
  c.params.n = n;
  c.params.mode = mode;
  c.params.ax = -1;
  c.params.ay = 2;
  c.params.lo = 3;
  c.params.hi = src.width() - 2;
  c.params.lo2 = 1;
  c.params.hi2 = src.height() - 4;
  c.gridW = dst.width();
  c.gridH = dst.height();
  return c;
}

TEST(DownUp, ReductionAveragesBlocks) {
  HostImage src = mixedImage(24, 18, 16);
  HostImage dst(7, 6);
  ASSERT_TRUE(fmtest::runOnCpu(downCall(dst, src, 3, 1)));
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 7; ++x) {
      double sum = 0;
      int count = 0;
      for (int j = 0; j < 3; ++j)
        for (int i = 0; i < 3; ++i) {
          const int sx = 3 * x - 1 + i, sy = 3 * y + 2 + j;
          if (sx < 3 || sx >= 22 || sy < 1 || sy >= 14) continue;
          sum += src.at(sx, sy).r;
          ++count;
        }
      // A block with no valid pixel is transparent, not a division by zero.
      ASSERT_NEAR(dst.at(x, y).r, count ? sum / count : 0.0, 1e-5) << x << "," << y;
    }
  // Without a window, blocks crossing any edge of the source, or lying wholly outside it,
  // average over all n x n positions with zeros outside.
  for (int ax : {-1, -6, -40})
    for (int ay : {1, -7}) {
      KernelCall c = downCall(dst, src, 4, 0);
      c.params.ax = ax;
      c.params.ay = ay;
      ASSERT_TRUE(fmtest::runOnCpu(c));
      for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 7; ++x) {
          double sum = 0;
          for (int j = 0; j < 4; ++j)
            for (int i = 0; i < 4; ++i) {
              const int sx = 4 * x + ax + i, sy = 4 * y + ay + j;
              if (sx >= 0 && sx < 24 && sy >= 0 && sy < 18) sum += src.at(sx, sy).g;
            }
          ASSERT_NEAR(dst.at(x, y).g, sum / 16, 1e-5) << x << "," << y << " offset " << ax << "," << ay;
        }
    }
}

// A block's average is its sum divided by the pixel count, correctly rounded: multiplying by
// the count's reciprocal is one ulp off for a third of all sums.
TEST(DownUp, BlockAverageIsADivision) {
  for (float v : {5.0f, 7.0f, 0.7f, 1.3f, 2.9f, 100.1f}) {
    HostImage src(3, 3);
    src.at(1, 1) = {v, -v, 3 * v, 1};
    HostImage dst(1, 1);
    KernelCall whole = downCall(dst, src, 3, 0);
    whole.params.ax = whole.params.ay = 0;
    ASSERT_TRUE(fmtest::runOnCpu(whole));
    EXPECT_EQ(dst.at(0, 0).r, v / 9.0f) << v;
    EXPECT_EQ(dst.at(0, 0).b, (3 * v) / 9.0f) << v;
    // Windows of nine and six block pixels.
    KernelCall part = downCall(dst, src, 3, 1);
    part.params.ax = part.params.ay = 0;
    part.params.lo = 0;
    part.params.hi = 3;
    part.params.lo2 = 0;
    part.params.hi2 = 3;
    ASSERT_TRUE(fmtest::runOnCpu(part));
    EXPECT_EQ(dst.at(0, 0).g, -v / 9.0f) << v;
    part.params.lo = 1;  // six pixels remain
    ASSERT_TRUE(fmtest::runOnCpu(part));
    EXPECT_EQ(dst.at(0, 0).r, v / 6.0f) << v;
    EXPECT_EQ(dst.at(0, 0).a, 1.0f / 6.0f) << v;
  }
}

TEST(DownUp, EnlargementRepeatsEdgesAndPlacesPixels) {
  HostImage small(4, 3), big(12, 9);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) small.at(x, y) = {float(x), float(y), 0, 1};
  KernelCall c;
  c.kernel = FM_K_UP;
  c.dst = &big;
  c.srcA = &small;
  c.params = fmtest::blockFor(&big, &small, nullptr);
  c.params.g0 = 1.0f / 3.0f;
  c.gridW = 12;
  c.gridH = 9;
  ASSERT_TRUE(fmtest::runOnCpu(c));
  EXPECT_NEAR(big.at(4, 4).r, 1.0f, 1e-6f);  // centre of reduced pixel (1, 1)
  EXPECT_NEAR(big.at(4, 4).g, 1.0f, 1e-6f);
  EXPECT_NEAR(big.at(0, 0).r, 0.0f, 1e-6f);  // clamped, not faded
  EXPECT_NEAR(big.at(0, 0).a, 1.0f, 1e-6f);
  EXPECT_NEAR(big.at(11, 8).a, 1.0f, 1e-6f);
  EXPECT_NEAR(big.at(5, 4).r, 1.0f + 1.0f / 3.0f, 1e-6f);
}

TEST(DownUp, CpuEqualsOpencl) {
  HostImage src = mixedImage(50, 37, 17);
  for (int n : {2, 3, 4})
    for (int mode : {0, 1}) {
      HostImage dst = fmtest::randomImage(50 / n + 1, 37 / n + 1, 18);
      EXPECT_EQ(fmtest::compareTargets(downCall(dst, src, n, mode), 1e-6f, 1e-6f), "") << n << " " << mode;
    }
  HostImage big = fmtest::randomImage(61, 45, 19);
  KernelCall c;
  c.kernel = FM_K_UP;
  c.dst = &big;
  c.srcA = &src;
  c.params = fmtest::blockFor(&big, &src, nullptr);
  c.params.g0 = 0.5f;
  c.params.g1 = 3.0f;
  c.params.g2 = -5.0f;
  c.gridW = 61;
  c.gridH = 45;
  EXPECT_EQ(fmtest::compareTargets(c, 1e-6f, 1e-6f), "");
}

}  // namespace
