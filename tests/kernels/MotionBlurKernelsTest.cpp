// Motion-blur reconstruction kernels on the CPU against OpenCL, and their defining properties:
// the velocity's blend of forward and backward flow (agreement, held side, occlusion, leaving
// the frame), limits and depth sources; tile and neighbourhood maxima against brute force; the
// gather's copy where nothing moves and its constancy on flat colour; the vector encodings.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "tests/support/KernelRun.h"

namespace {

using fmtest::HostImage;
using fmtest::KernelCall;
using fmtest::Px;

const float kNaN = std::numeric_limits<float>::quiet_NaN();

KernelCall call(int kernel, HostImage& dst, const HostImage* a, const HostImage* b) {
  KernelCall c;
  c.kernel = kernel;
  c.dst = &dst;
  c.srcA = a;
  c.srcB = b;
  c.params = fmtest::blockFor(&dst, a, b);
  c.gridW = dst.width();
  c.gridH = dst.height();
  return c;
}

HostImage runCpu(KernelCall c) {
  HostImage out = *c.dst;
  c.dst = &out;
  EXPECT_TRUE(fmtest::runOnCpu(c));
  return out;
}

std::vector<float> tableOf(const HostImage& im) { return std::vector<float>(im.data(), im.data() + im.floats()); }

// The gather of `colour` along `vel`, with the tiles' neighbourhood maxima `nbr` uploaded as `tab`.
KernelCall gatherCall(HostImage& dst, const HostImage& colour, const HostImage& vel, const HostImage& nbr,
                      const std::vector<float>& tab) {
  KernelCall c = call(FM_K_MBLUR, dst, &colour, &vel);
  c.table = &tab;
  c.params.n = nbr.pitch();
  c.params.segLen = 16;
  c.params.lo = nbr.width();
  c.params.hi = nbr.height();
  c.params.count = 95;
  return c;
}

HostImage filled(int w, int h, Px v) {
  HostImage im(w, h);
  im.fill(v);
  return im;
}

// One pixel of fm_mvel with both flows given (pass a confidence of 0 in `mode` to drop one).
Px velocity(Px f, Px b, int mode, float g0 = 1.0f, float g1 = 1e9f, int x = 8, int y = 8) {
  HostImage fa = filled(17, 17, f), fb = filled(17, 17, b), dst(17, 17);
  KernelCall c = call(FM_K_MVEL, dst, &fa, &fb);
  c.params.mode = mode;
  c.params.g0 = g0;
  c.params.g1 = g1;
  return runCpu(c).at(x, y);
}

// ------------------------------------------------------------------ CPU against OpenCL

TEST(MotionBlurKernels, MvelCpuEqualsOpenclForEveryModeAndDepthSource) {
  HostImage f = fmtest::randomImage(23, 19, 1, -30.0f, 30.0f, true);
  HostImage b = fmtest::randomImage(23, 19, 2, -30.0f, 30.0f, true);
  for (int y = 0; y < 19; ++y)
    for (int x = 0; x < 23; ++x) {
      f.at(x, y).b = std::fabs(f.at(x, y).b) * 0.05f;
      b.at(x, y).b = std::fabs(b.at(x, y).b) * 0.05f;
    }
  const HostImage depth = fmtest::randomImage(23, 19, 3, -0.5f, 1.5f, true, 29);
  const std::vector<float> tab = tableOf(depth);
  for (int mode = 0; mode < 4; ++mode)
    for (int channel = 0; channel < 3; ++channel) {
      HostImage dst(23, 19);
      KernelCall c = call(FM_K_MVEL, dst, &f, &b);
      c.table = &tab;
      c.params.n = depth.pitch();
      c.params.mode = mode;
      c.params.channel = channel;
      c.params.g0 = 0.75f;
      c.params.g1 = 12.0f;
      EXPECT_EQ(fmtest::compareTargets(c, 1e-4f, 1e-4f), "") << mode << " " << channel;
      EXPECT_TRUE(fmtest::allFinite(runCpu(c))) << mode << " " << channel;
    }
}

TEST(MotionBlurKernels, TileAndNeighbourMaximaCpuEqualOpencl) {
  const HostImage v = fmtest::randomImage(37, 21, 4, -9.0f, 9.0f);
  HostImage tiles(3, 2);
  KernelCall t = call(FM_K_TILEMAX, tiles, &v, nullptr);
  t.params.n = 16;
  EXPECT_EQ(fmtest::compareTargets(t), "");
  const HostImage tm = fmtest::randomImage(9, 7, 5, 0.0f, 40.0f);
  for (int mode : {0, 1})
    for (int r : {0, 1, 3, 20}) {
      HostImage dst(9, 7);
      KernelCall c = call(FM_K_NEIGHBORMAX, dst, &tm, nullptr);
      c.params.mode = mode;
      c.params.n = r;
      EXPECT_EQ(fmtest::compareTargets(c), "") << mode << " " << r;
    }
}

// A frame, its velocities and neighbourhood maxima with mixed depths and lengths.
struct GatherInputs {
  HostImage colour, vel, nbr;
  std::vector<float> tab;
  GatherInputs(int w, int h, uint32_t seed) : colour(fmtest::randomImage(w, h, seed, 0.0f, 1.0f)), vel(w, h) {
    const HostImage r = fmtest::randomImage(w, h, seed + 1, -6.0f, 6.0f);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const float vx = r.at(x, y).r, vy = r.at(x, y).g * 0.5f;
        vel.at(x, y) = {vx, vy, (x + y) % 3 == 0 ? 0.2f : 0.9f, std::sqrt(vx * vx + vy * vy)};
      }
    const int tw = (w + 15) / 16, th = (h + 15) / 16;
    nbr = HostImage(tw, th);
    for (int y = 0; y < th; ++y)
      for (int x = 0; x < tw; ++x) nbr.at(x, y) = {6.0f, -1.0f, x == 0 ? 0.3f : 6.08f, 0.0f};
    tab = tableOf(nbr);
  }
  KernelCall gather(HostImage& dst, int ax, int ay) const {
    KernelCall c = gatherCall(dst, colour, vel, nbr, tab);
    c.params.ax = ax;
    c.params.ay = ay;
    return c;
  }
};

TEST(MotionBlurKernels, MblurCpuEqualsOpenclWithOffsets) {
  const GatherInputs in(40, 24, 6);
  for (int ax : {0, -5, 7}) {
    HostImage dst(36, 26);
    EXPECT_EQ(fmtest::compareTargets(in.gather(dst, ax, -ax / 2), 1e-5f, 1e-4f), "") << ax;
  }
}

TEST(MotionBlurKernels, MvviewCpuEqualsOpenclForEveryEncoding) {
  const HostImage v = fmtest::randomImage(21, 13, 7, -40.0f, 40.0f);
  for (int mode = 0; mode < 3; ++mode) {
    HostImage dst(25, 11);
    KernelCall c = call(FM_K_MVVIEW, dst, nullptr, &v);
    c.params.mode = mode;
    c.params.g0 = 16.0f;
    c.params.g1 = 24.0f;
    c.params.ax = -2;
    c.params.ay = 3;
    EXPECT_EQ(fmtest::compareTargets(c, 1e-6f, 1e-6f), "") << mode;
  }
}

// ------------------------------------------------------------------ velocity

TEST(MotionBlurKernels, MvelBlendsAgreeingFlowsAndPicksOneSideWhenTheyDisagree) {
  // A steady motion seen from both sides; with half a frame of shutter a 1-pixel half extent.
  Px v = velocity({4, 0, 0.8f, 0}, {-4, 0, 0.8f, 0}, 3, 0.25f);
  EXPECT_NEAR(v.r, 1.0f, 1e-6f);
  EXPECT_NEAR(v.g, 0.0f, 1e-6f);
  EXPECT_NEAR(v.a, 1.0f, 1e-6f);
  EXPECT_EQ(v.b, 1.0f);  // no depth source: in front
  // Near agreement is averaged by confidence.
  v = velocity({4, 0, 0.9f, 0}, {-3.6f, 0, 0.3f, 0}, 3);
  EXPECT_NEAR(v.r, (0.9f * 4 + 0.3f * 3.6f) / 1.2f, 1e-5f);
  // A held side (no motion) with equal confidence: the larger motion alone counts.
  v = velocity({4, 0, 0.8f, 0}, {0, 0, 0.8f, 0}, 3);
  EXPECT_NEAR(v.r, 4.0f, 1e-6f);
  v = velocity({0, 0, 0.8f, 0}, {0, 3, 0.8f, 0}, 3);
  EXPECT_NEAR(v.g, -3.0f, 1e-6f);
  // An occlusion: the far better match wins even with the smaller motion.
  v = velocity({4, 0, 0.9f, 0}, {0, 0, 0.1f, 0}, 3);
  EXPECT_NEAR(v.r, 4.0f, 1e-6f);
  v = velocity({4, 0, 0.1f, 0}, {0, 0, 0.9f, 0}, 3);
  EXPECT_NEAR(v.r, 0.0f, 1e-6f);
  // One flow only; the backward one points the other way.
  EXPECT_NEAR(velocity({3, 2, 0.5f, 0}, {9, 9, 1, 0}, 1).r, 3.0f, 1e-6f);
  EXPECT_NEAR(velocity({9, 9, 1, 0}, {3, 2, 0.5f, 0}, 2).g, -2.0f, 1e-6f);
  const Px none = velocity({3, 2, 0.5f, 0}, {3, 2, 0.5f, 0}, 0);
  EXPECT_EQ(none.r, 0.0f);
  EXPECT_EQ(none.a, 0.0f);
}

TEST(MotionBlurKernels, MvelTakesConfidencesAsTheyComeAndStaysFiniteOnAbsurdOnes) {
  // Confidences above 1 weigh as given: partial disagreement (lambda = 2 / 1.1 - 1), within a
  // factor 2, so the larger motion gains.
  const double lambda = 2.0 / 1.1 - 1.0, cf = 5 + (1 - 5) * lambda, cb = 3 - 3 * lambda;
  EXPECT_NEAR(velocity({4, 0, 5, 0}, {-2, 0, 3, 0}, 3).r, (4 * cf + 2 * cb) / (cf + cb), 1e-5);
  // Infinite, huge or NaN confidences and large flows still give a finite velocity.
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  for (float conf : {inf, 3e38f, nan})
    for (float flow : {4.0f, 3e4f}) {
      const Px v = velocity({flow, 0, conf, 0}, {-flow, 1, 0.5f, 0}, 3, 1.0f, 1e9f);
      EXPECT_TRUE(std::isfinite(v.r) && std::isfinite(v.g) && std::isfinite(v.a)) << conf << " " << flow;
    }
}

TEST(MotionBlurKernels, MvelDistrustsFlowLeavingTheFrameAndLimitsLength) {
  // From pixel 1 a forward flow of -5 leaves the frame: the backward flow's stillness wins.
  Px v = velocity({-5, 0, 1, 0}, {0, 0, 1, 0}, 3, 1.0f, 1e9f, 1, 8);
  EXPECT_NEAR(v.r, 0.0f, 1e-5f);
  // Inside the frame the same pair takes the larger motion.
  v = velocity({-5, 0, 1, 0}, {0, 0, 1, 0}, 3, 1.0f, 1e9f, 8, 8);
  EXPECT_NEAR(v.r, -5.0f, 1e-5f);
  // Length limit keeps the direction.
  v = velocity({6, 8, 1, 0}, {0, 0, 0, 0}, 1, 1.0f, 5.0f);
  EXPECT_NEAR(v.r, 3.0f, 1e-5f);
  EXPECT_NEAR(v.g, 4.0f, 1e-5f);
  EXPECT_NEAR(v.a, 5.0f, 1e-5f);
  // A zero limit stops all motion; non-finite flow counts as none.
  EXPECT_EQ(velocity({6, 8, 1, 0}, {0, 0, 0, 0}, 1, 1.0f, 0.0f).a, 0.0f);
  v = velocity({kNaN, 1, kNaN, 0}, {-2, 0, 1, 0}, 3);
  EXPECT_TRUE(std::isfinite(v.r) && std::isfinite(v.g) && std::isfinite(v.a));
}

TEST(MotionBlurKernels, MvelDepthFromAlphaOrLuminanceClamped) {
  HostImage f = filled(4, 3, {1, 0, 1, 0}), dst(4, 3);
  HostImage d(4, 3, 6);
  d.at(0, 0) = {0.2f, 0.4f, 0.8f, 0.5f};
  d.at(1, 0) = {2, 2, 2, 3};
  d.at(2, 0) = {kNaN, 0, 0, kNaN};
  d.at(3, 0) = {-1, -1, -1, -1};
  const std::vector<float> tab = tableOf(d);
  KernelCall c = call(FM_K_MVEL, dst, &f, &f);
  c.table = &tab;
  c.params.n = d.pitch();
  c.params.mode = 1;
  c.params.g1 = 100.0f;
  c.params.channel = 1;
  HostImage out = runCpu(c);
  EXPECT_FLOAT_EQ(out.at(0, 0).b, 0.5f);
  EXPECT_EQ(out.at(1, 0).b, 1.0f);
  EXPECT_EQ(out.at(2, 0).b, 0.0f);
  EXPECT_EQ(out.at(3, 0).b, 0.0f);
  c.params.channel = 2;
  out = runCpu(c);
  EXPECT_NEAR(out.at(0, 0).b, 0.2126f * 0.2f + 0.7152f * 0.4f + 0.0722f * 0.8f, 1e-6f);
  EXPECT_EQ(out.at(1, 0).b, 1.0f);
  EXPECT_EQ(out.at(2, 0).b, 0.0f);
}

// ------------------------------------------------------------------ tiles

TEST(MotionBlurKernels, TileMaxAndTwoNeighbourPassesMatchBruteForce) {
  const int w = 53, h = 37, tw = 4, th = 3;
  HostImage v = fmtest::randomImage(w, h, 8, -10.0f, 10.0f);
  v.at(17, 3) = {v.at(16, 0).r, v.at(16, 0).g, 0, 0};  // a tie: the first in row order stays
  v.at(16, 0).b = 123.0f;
  HostImage tiles(tw, th);
  KernelCall t = call(FM_K_TILEMAX, tiles, &v, nullptr);
  t.params.n = 16;
  const HostImage tm = runCpu(t);
  for (int ty = 0; ty < th; ++ty)
    for (int tx = 0; tx < tw; ++tx) {
      float best = 0, bx = 0, by = 0;
      for (int y = ty * 16; y < std::min(ty * 16 + 16, h); ++y)
        for (int x = tx * 16; x < std::min(tx * 16 + 16, w); ++x) {
          const float l = v.at(x, y).r * v.at(x, y).r + v.at(x, y).g * v.at(x, y).g;
          if (l > best) best = l, bx = v.at(x, y).r, by = v.at(x, y).g;
        }
      EXPECT_EQ(tm.at(tx, ty).r, bx);
      EXPECT_EQ(tm.at(tx, ty).g, by);
      EXPECT_FLOAT_EQ(tm.at(tx, ty).b, std::sqrt(best));
    }
  for (int r : {0, 1, 2}) {
    HostImage mid(tw, th), out(tw, th);
    KernelCall a = call(FM_K_NEIGHBORMAX, mid, &tm, nullptr);
    a.params.n = r;
    mid = runCpu(a);
    KernelCall b = call(FM_K_NEIGHBORMAX, out, &mid, nullptr);
    b.params.n = r;
    b.params.mode = 1;
    out = runCpu(b);
    for (int ty = 0; ty < th; ++ty)
      for (int tx = 0; tx < tw; ++tx) {
        float best = 0;
        for (int j = std::max(0, ty - r); j <= std::min(th - 1, ty + r); ++j)
          for (int i = std::max(0, tx - r); i <= std::min(tw - 1, tx + r); ++i) best = std::max(best, tm.at(i, j).b);
        EXPECT_EQ(out.at(tx, ty).b, best) << r << " " << tx << "," << ty;
      }
  }
  // An all-zero tile yields zero.
  HostImage still(20, 20), one(2, 2);
  KernelCall z = call(FM_K_TILEMAX, one, &still, nullptr);
  z.params.n = 16;
  const HostImage zt = runCpu(z);
  EXPECT_EQ(zt.at(1, 1).b, 0.0f);
  EXPECT_EQ(zt.at(1, 1).r, 0.0f);
}

// ------------------------------------------------------------------ gather

TEST(MotionBlurKernels, MblurCopiesWhereTheNeighbourhoodIsStillAndKeepsFlatColourFlat) {
  GatherInputs in(40, 24, 9);
  HostImage dst(40, 24);
  const HostImage out = runCpu(in.gather(dst, 0, 0));
  // Tile column 0 has a neighbourhood maximum under half a pixel: an exact copy.
  for (int y = 0; y < 24; ++y)
    for (int x = 0; x < 16; ++x) {
      ASSERT_EQ(out.at(x, y).r, in.colour.at(x, y).r);
      ASSERT_EQ(out.at(x, y).a, in.colour.at(x, y).a);
    }
  // The moving tiles do change the colour there.
  double change = 0;
  for (int y = 0; y < 24; ++y)
    for (int x = 16; x < 40; ++x) change += std::fabs(out.at(x, y).r - in.colour.at(x, y).r);
  EXPECT_GT(change, 1.0);
  // Flat colour stays flat wherever the samples stay inside the frame.
  in.colour.fill({0.25f, 0.5f, 0.75f, 1.0f});
  const HostImage flat = runCpu(in.gather(dst, 0, 0));
  for (int y = 4; y < 20; ++y)
    for (int x = 24; x < 32; ++x) {
      ASSERT_NEAR(flat.at(x, y).g, 0.5f, 1e-5f) << x << "," << y;
      ASSERT_NEAR(flat.at(x, y).a, 1.0f, 1e-5f);
    }
}

TEST(MotionBlurKernels, MblurSmearsAPointAlongItsMotionOnly) {
  // A bright column moving right by a half extent of 4 over a still, dark background: it spreads
  // over about 2 x 4 pixels on its row and nowhere vertically; outside the frame is transparent.
  const int w = 32, h = 16;
  HostImage colour = filled(w, h, {0, 0, 0, 1}), vel(w, h), dst(w + 4, h);
  for (int y = 0; y < h; ++y) {
    colour.at(15, y) = {1, 1, 1, 1};
    vel.at(15, y) = {4, 0, 1, 4};
  }
  HostImage nbr(2, 1);
  nbr.fill({4, 0, 4, 0});
  const std::vector<float> tab = tableOf(nbr);
  const KernelCall c = gatherCall(dst, colour, vel, nbr, tab);
  const HostImage out = runCpu(c);
  double sum = 0;
  for (int x = 0; x < w; ++x) {
    sum += out.at(x, 8).r;
    if (x < 10 || x > 20) {
      EXPECT_EQ(out.at(x, 8).r, 0.0f) << x;
    }
  }
  EXPECT_GT(out.at(13, 8).r, 0.05f);
  EXPECT_GT(out.at(17, 8).r, 0.05f);
  EXPECT_LT(out.at(15, 8).r, 0.6f);
  EXPECT_NEAR(sum, 1.0, 0.35);  // the column's energy spread, roughly conserved
  EXPECT_EQ(out.at(w + 2, 8).a, 0.0f);
}

TEST(MotionBlurKernels, MblurDividesTheSumOfItsSamplesBySampleCount) {
  // Still content seen whole by every sample: the sum is the pixel's colour added S times, and the
  // result is that sum divided by S (5, 7, 12 and 21), which multiplying by 1/S misses by one ulp
  // for about a quarter of the values.
  const int w = 24, h = 16;
  const HostImage colour = fmtest::randomImage(w, h, 10, 0.0f, 4.0f);
  const HostImage vel = filled(w, h, {0, 0, 0.5f, 1000.0f});
  for (float nl : {2.0f, 3.0f, 5.5f, 10.0f}) {
    const int S = int(2.0f * nl) + 1;
    const HostImage nbr = filled(2, 1, {0, 0, nl, 0});
    const std::vector<float> tab = tableOf(nbr);
    HostImage dst(w, h);
    const KernelCall c = gatherCall(dst, colour, vel, nbr, tab);
    EXPECT_EQ(fmtest::compareTargets(c), "") << S;
    const HostImage out = runCpu(c);
    int reciprocalOff = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const Px& in = colour.at(x, y);
        float want[4] = {in.r, in.g, in.b, in.a};
        for (float& v : want) {
          float sum = 0.0f;
          for (int k = 0; k < S; ++k) sum += v;
          v = sum / float(S);
          reciprocalOff += sum * (1.0f / float(S)) != v;
        }
        const Px& got = out.at(x, y);
        ASSERT_EQ(got.r, want[0]) << S << " at " << x << "," << y;
        ASSERT_EQ(got.g, want[1]) << S << " at " << x << "," << y;
        ASSERT_EQ(got.b, want[2]) << S << " at " << x << "," << y;
        ASSERT_EQ(got.a, want[3]) << S << " at " << x << "," << y;
      }
    EXPECT_GT(reciprocalOff, w * h / 2) << S;  // the colours tell division from the reciprocal
  }
}

// ------------------------------------------------------------------ vectors

TEST(MotionBlurKernels, MvviewEncodesTheRangeAndNoMotion) {
  HostImage v(3, 1);
  v.at(0, 0) = {10, -20, 1, 0};  // exactly the range, right and up
  v.at(1, 0) = {0, 0, 1, 0};
  v.at(2, 0) = {30, 60, 1, 0};  // beyond the range
  const auto run = [&](int mode) {
    HostImage dst(4, 1);
    KernelCall c = call(FM_K_MVVIEW, dst, nullptr, &v);
    c.params.mode = mode;
    c.params.g0 = 10.0f;
    c.params.g1 = 20.0f;
    return runCpu(c);
  };
  HostImage o = run(1);
  EXPECT_FLOAT_EQ(o.at(0, 0).r, 1.0f);
  EXPECT_FLOAT_EQ(o.at(0, 0).g, 1.0f);
  EXPECT_FLOAT_EQ(o.at(0, 0).b, 0.5f);
  EXPECT_FLOAT_EQ(o.at(1, 0).r, 0.5f);
  EXPECT_FLOAT_EQ(o.at(2, 0).r, 1.0f);
  EXPECT_FLOAT_EQ(o.at(2, 0).g, 0.0f);
  EXPECT_EQ(o.at(3, 0).a, 0.0f);  // outside the velocities: no vector
  o = run(0);
  EXPECT_FLOAT_EQ(o.at(0, 0).r, 254.0f / 255.0f);
  EXPECT_FLOAT_EQ(o.at(0, 0).g, 254.0f / 255.0f);
  EXPECT_FLOAT_EQ(o.at(1, 0).r, 127.0f / 255.0f);
  EXPECT_FLOAT_EQ(o.at(1, 0).b, 127.0f / 255.0f);
  EXPECT_FLOAT_EQ(o.at(2, 0).g, 0.0f);
  o = run(2);
  EXPECT_FLOAT_EQ(o.at(0, 0).r, 1.0f);
  EXPECT_FLOAT_EQ(o.at(2, 0).r, 3.0f);  // float output is not limited
  EXPECT_FLOAT_EQ(o.at(2, 0).g, -3.0f);
  EXPECT_EQ(o.at(1, 0).b, 0.0f);
  EXPECT_EQ(o.at(1, 0).a, 1.0f);
}

}  // namespace
