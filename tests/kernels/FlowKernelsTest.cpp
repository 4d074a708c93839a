// Optical flow kernels on the CPU against OpenCL, and their defining properties: the feature's
// compression and sanitising, half-size averaging, Sobel template, the patch search's
// brightness model and limits, the densification's patch coverage, the refinement's weights,
// confidence and degenerate systems, the flow enlargement and the match statistics.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/Backend.h"
#include "engine/cpu/CpuKernels.h"
#include "tests/support/FlowFrames.h"
#include "tests/support/KernelRun.h"

namespace {

using fmtest::HostImage;
using fmtest::KernelCall;
using fmtest::Px;

const float kNaN = std::numeric_limits<float>::quiet_NaN();

KernelCall call(int kernel, HostImage& dst, const HostImage* a, const HostImage* b, int gridW = 0, int gridH = 0) {
  KernelCall c;
  c.kernel = kernel;
  c.dst = &dst;
  c.srcA = a;
  c.srcB = b;
  c.params = fmtest::blockFor(&dst, a, b);
  c.gridW = gridW ? gridW : dst.width();
  c.gridH = gridH ? gridH : dst.height();
  return c;
}

HostImage runCpu(KernelCall c, HostImage dst) {
  c.dst = &dst;
  EXPECT_TRUE(fmtest::runOnCpu(c));
  return dst;
}

// Feature images of a synthetic pair: x = the grey value, y = alpha 1.
HostImage featureOf(const HostImage& frame) {
  HostImage f(frame.width(), frame.height());
  for (int y = 0; y < f.height(); ++y)
    for (int x = 0; x < f.width(); ++x) f.at(x, y) = {frame.at(x, y).r, 1.0f, 0.0f, 0.0f};
  return f;
}

HostImage templateOf(const HostImage& a, const HostImage& b) {
  HostImage t(a.width(), a.height());
  return runCpu(call(FM_K_TMPL, t, &a, &b), t);
}

// Template of a pair moved by (dx, dy), from frames of the flow tests.
HostImage movedTemplate(int w, int h, double dx, double dy, uint32_t seed = 3) {
  const fmtest::FlowPair pr = fmtest::translatedPair(w, h, dx, dy, seed);
  return templateOf(featureOf(pr.current), featureOf(pr.other));
}

// ------------------------------------------------------------------ feature pyramid

TEST(FlowKernels, FeatCpuEqualsOpenclWithSpecialsAndOffsets) {
  const HostImage src = fmtest::randomImage(21, 15, 11, -0.5f, 6.0f, true);
  for (int ax : {0, -3, 5}) {
    HostImage dst = fmtest::randomImage(19, 17, 12);
    KernelCall c = call(FM_K_FEAT, dst, &src, nullptr);
    c.params.ax = ax;
    c.params.ay = -ax;
    EXPECT_EQ(fmtest::compareTargets(c, 1e-5f, 1e-5f), "") << ax;
    const HostImage out = runCpu(c, dst);
    for (int y = 0; y < 17; ++y)
      for (int x = 0; x < 19; ++x) {
        ASSERT_TRUE(std::isfinite(out.at(x, y).r) && std::isfinite(out.at(x, y).g)) << x << "," << y;
        ASSERT_GE(out.at(x, y).g, 0.0f);
        ASSERT_LE(out.at(x, y).g, 1.0f);
      }
  }
}

TEST(FlowKernels, FeatCompressesOverbrightAndDropsBadValues) {
  HostImage src(5, 1);
  src.at(0, 0) = {4, 4, 4, 1};              // luminance 4: 1 + ln 4
  src.at(1, 0) = {-1, -1, -1, 0.5f};        // negative luminance: 0
  src.at(2, 0) = {kNaN, 0.2f, 0.2f, 1};     // NaN luminance: 0
  src.at(3, 0) = {0.4f, 0.4f, 0.4f, kNaN};  // NaN alpha adds nothing
  src.at(4, 0) = {0.3f, 0.3f, 0.3f, 3.0f};  // alpha clamped to 1
  HostImage dst(7, 1);
  KernelCall c = call(FM_K_FEAT, dst, &src, nullptr);
  c.params.ax = -1;  // dst 0 and dst 6 lie outside the source: transparent
  const HostImage out = runCpu(c, dst);
  EXPECT_NEAR(out.at(0, 0).r, 0.0f, 0.0f);
  EXPECT_NEAR(out.at(1, 0).r, 1.0f + std::log(4.0f) + 0.5f, 1e-5f);
  EXPECT_NEAR(out.at(2, 0).r, 0.25f, 1e-6f);
  EXPECT_NEAR(out.at(3, 0).r, 0.5f, 1e-6f);
  EXPECT_NEAR(out.at(4, 0).r, 0.4f, 1e-6f);
  EXPECT_EQ(out.at(4, 0).g, 0.0f);
  EXPECT_NEAR(out.at(5, 0).r, 0.8f, 1e-6f);
  EXPECT_EQ(out.at(5, 0).g, 1.0f);
  EXPECT_EQ(out.at(6, 0).r, 0.0f);
  EXPECT_EQ(out.at(6, 0).g, 0.0f);
}

TEST(FlowKernels, HalfAveragesAndRepeatsTheOddEdge) {
  const HostImage src = fmtest::randomImage(7, 5, 13, 0.0f, 1.0f);
  HostImage dst = fmtest::randomImage(4, 3, 14);
  const KernelCall c = call(FM_K_HALF, dst, &src, nullptr);
  EXPECT_EQ(fmtest::compareTargets(c, 1e-6f, 1e-6f), "");
  const HostImage out = runCpu(c, dst);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) {
      const int x0 = std::min(2 * x, 6), x1 = std::min(2 * x + 1, 6);
      const int y0 = std::min(2 * y, 4), y1 = std::min(2 * y + 1, 4);
      const float want = 0.25f * (src.at(x0, y0).b + src.at(x1, y0).b + src.at(x0, y1).b + src.at(x1, y1).b);
      EXPECT_NEAR(out.at(x, y).b, want, 1e-6f) << x << "," << y;
    }
  // A 1 x 1 level halves into itself.
  HostImage one(1, 1), oneOut(1, 1);
  one.at(0, 0) = {0.25f, 1, 0, 0};
  EXPECT_EQ(runCpu(call(FM_K_HALF, oneOut, &one, nullptr), oneOut).at(0, 0).r, 0.25f);
}

// ------------------------------------------------------------------ patch stage

TEST(FlowKernels, TemplateCpuEqualsOpenclAndHasSobelGradients) {
  const HostImage a = fmtest::randomImage(17, 11, 15, 0.0f, 1.0f), b = fmtest::randomImage(17, 11, 16, 0.0f, 1.0f);
  HostImage dst = fmtest::randomImage(17, 11, 17);
  EXPECT_EQ(fmtest::compareTargets(call(FM_K_TMPL, dst, &a, &b), 1e-6f, 1e-6f), "");
  // A ramp: exact gradients inside, half of them across the repeated edge.
  HostImage ramp(6, 5), other(6, 5);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 6; ++x) {
      ramp.at(x, y) = {0.1f * x + 0.2f * y, 1, 0, 0};
      other.at(x, y) = {0.5f + x, 0, 0, 0};
    }
  const HostImage t = templateOf(ramp, other);
  EXPECT_NEAR(t.at(2, 2).g, 0.1f, 1e-6f);
  EXPECT_NEAR(t.at(2, 2).b, 0.2f, 1e-6f);
  EXPECT_NEAR(t.at(0, 2).g, 0.05f, 1e-6f);
  EXPECT_NEAR(t.at(3, 4).b, 0.1f, 1e-6f);
  EXPECT_EQ(t.at(3, 1).r, ramp.at(3, 1).r);
  EXPECT_EQ(t.at(3, 1).a, 3.5f);
}

TEST(FlowKernels, PatchInitTakesTwiceTheCoarserFlowAtThePatchCentre) {
  const HostImage coarse = fmtest::randomImage(7, 5, 18, -3.0f, 3.0f);
  for (int mode : {0, 1}) {
    HostImage P = fmtest::randomImage(4, 3, 19);
    KernelCall c = call(FM_K_PATCH_INIT, P, &coarse, nullptr);
    c.params.mode = mode;
    c.params.n = 8;
    c.params.segLen = 4;
    c.params.lo = 14;
    c.params.hi = 10;
    EXPECT_EQ(fmtest::compareTargets(c, 1e-6f, 1e-6f), "") << mode;
    const HostImage out = runCpu(c, P);
    // Patch (1, 0): origin (4, 0), centre (8, 4) -> coarse pixel centre (3.5, 1.5).
    const float u = 0.25f * (coarse.at(3, 1).r + coarse.at(4, 1).r + coarse.at(3, 2).r + coarse.at(4, 2).r);
    EXPECT_NEAR(out.at(1, 0).r, mode ? 2 * u : 0.0f, 1e-5f);
    EXPECT_EQ(out.at(2, 2).b, 1.0f);
    EXPECT_EQ(out.at(2, 2).a, 0.0f);
  }
}

KernelCall searchCall(HostImage& P, const HostImage& T, int n, float g0) {
  KernelCall c = call(FM_K_PATCH_SEARCH, P, &T, nullptr);
  c.params.n = n;
  c.params.segLen = 4;
  c.params.count = 16;
  c.params.g0 = g0;
  return c;
}

HostImage patchGrid(const HostImage& T, int n, Px start) {
  HostImage P((T.width() - n + 3) / 4 + 1, (T.height() - n + 3) / 4 + 1);
  P.fill(start);
  return P;
}

TEST(FlowKernels, PatchSearchCpuEqualsOpenclAndFindsAMove) {
  const HostImage T = movedTemplate(40, 28, 1.3, -0.7);
  HostImage P = patchGrid(T, 8, {0.2f, 0.1f, 1, 0});
  const KernelCall c = searchCall(P, T, 8, 50.0f);
  EXPECT_EQ(fmtest::compareTargets(c, 2e-3f, 1e-3f), "");
  const HostImage out = runCpu(c, P);
  int good = 0;
  for (int y = 0; y < P.height(); ++y)
    for (int x = 0; x < P.width(); ++x)
      good += std::hypot(out.at(x, y).r - 1.3f, out.at(x, y).g + 0.7f) < 0.1f;
  EXPECT_GE(good, P.width() * P.height() * 3 / 4);
}

uint32_t bitsOf(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

// The patch search of patch (x, y) on a W x H level written plainly: every moved sample is read
// through fm_tw, and the sums run in the kernel's order so that the results compare bit for bit.
Px patchSearchReference(const HostImage& T, int W, int H, int n, int count, float g0, int x, int y, Px start) {
  const fm::float4* tw = reinterpret_cast<const fm::float4*>(T.data());
  const int px0 = std::min(x * 4, W - n), py0 = std::min(y * 4, H - n);
  float sxx = 0, sxy = 0, syy = 0, sx = 0, sy = 0, sz = 0, szz = 0, sxz = 0, syz = 0;
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      const Px& t = T.at(px0 + i, py0 + j);
      sxx += t.g * t.g, sxy += t.g * t.b, syy += t.b * t.b;
      sx += t.g, sy += t.b, sz += t.r, szz += t.r * t.r;
      sxz += t.g * t.r, syz += t.b * t.r;
    }
  const float N = float(n * n), mT = sz / N, varT = fm::fm_maxf(szz / N - mT * mT, 0.0f);
  const float h11 = sxx - sx * sx / N + 1e-5f * N, h12 = sxy - sx * sy / N, h22 = syy - sy * sy / N + 1e-5f * N;
  const float det = h11 * h22 - h12 * h12;
  float k = 1, m1 = mT, u = start.r, v = start.g;
  if (det > 1e-20f) {
    const float i11 = h22 / det, i12 = -h12 / det, i22 = h11 / det;
    for (int it = 0; it < count; ++it) {
      float s1 = 0, s11 = 0, sx1 = 0, sy1 = 0;
      for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
          const float z1 = fm::fm_tw(tw, W, H, T.pitch(), float(px0 + i) + u, float(py0 + j) + v);
          const Px& t = T.at(px0 + i, py0 + j);
          s1 += z1, s11 += z1 * z1, sx1 += t.g * z1, sy1 += t.b * z1;
        }
      m1 = s1 / N;
      const float var1 = fm::fm_maxf(s11 / N - m1 * m1, 0.0f);
      k = varT > 1e-6f && var1 > 1e-6f ? fm::fm_clampf(fm::fm_sqrtf(varT / var1), 0.5f, 2.0f) : 1.0f;
      const float bx = k * (sx1 - m1 * sx) - (sxz - mT * sx), by = k * (sy1 - m1 * sy) - (syz - mT * sy);
      const float du = i11 * bx + i12 * by, dv = i12 * bx + i22 * by;
      u -= du, v -= dv;
      if (!std::isfinite(u) || !std::isfinite(v) || du * du + dv * dv < 1e-4f) break;
    }
  }
  if (!std::isfinite(u) || !std::isfinite(v) || (u - start.r) * (u - start.r) + (v - start.g) * (v - start.g) > N)
    u = start.r, v = start.g;
  fm::fm_limit_flow(&u, &v, g0);
  float offset = mT - k * m1;
  if (!std::isfinite(k) || !std::isfinite(offset)) k = 1, offset = 0;
  return {u, v, k, offset};
}

TEST(FlowKernels, PatchSearchReadsExactlyTheClampedSampleEverywhere) {
  // A 40 x 28 level inside a template with a NaN column and row past it: a read beyond the level
  // poisons the patch. Fractional motion rounds differently at every position.
  const int W = 40, H = 28, n = 8;
  const HostImage level = movedTemplate(W, H, 1.3, -0.7);
  HostImage T(W + 1, H + 1, W + 3);
  T.fill({kNaN, kNaN, kNaN, kNaN});
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) T.at(x, y) = level.at(x, y);
  HostImage P((W - n + 3) / 4 + 1, (H - n + 3) / 4 + 1);
  P.fill({0.2f, 0.1f, 1, 0});
  const int xl = P.width() - 1, yl = P.height() - 1;
  // No motion in the last patch column or row: its last position lies on the level's last column
  // or row, where the second tap is clamped.
  for (int y = 0; y < P.height(); ++y) P.at(xl, y) = {0.0f, 0.3f, 1, 0};
  for (int x = 0; x < P.width(); ++x) P.at(x, yl) = {0.4f, 0.0f, 1, 0};
  // Starts that no window can hold, one just short of the first column and one moved further.
  const float inf = std::numeric_limits<float>::infinity();
  P.at(1, 1) = {kNaN, 0.5f, 1, 0};
  P.at(2, 1) = {0.5f, kNaN, 1, 0};
  P.at(3, 1) = {inf, 0.0f, 1, 0};
  P.at(4, 1) = {0.0f, -inf, 1, 0};
  P.at(5, 1) = {1e30f, -1e30f, 1, 0};
  P.at(0, 2) = {-1e-6f, 0.25f, 1, 0};
  P.at(2, 3) = {-2.6f, 1.75f, 1, 0};
  KernelCall c = call(FM_K_PATCH_SEARCH, P, &T, nullptr);
  c.params.aW = W;
  c.params.aH = H;
  c.params.n = n;
  c.params.segLen = 4;
  c.params.count = 16;
  c.params.g0 = 50.0f;
  EXPECT_EQ(fmtest::compareTargets(c, 2e-3f, 1e-3f), "");
  const HostImage out = runCpu(c, P);
  for (int y = 0; y < P.height(); ++y)
    for (int x = 0; x < P.width(); ++x) {
      const Px want = patchSearchReference(T, W, H, n, 16, 50.0f, x, y, P.at(x, y));
      const Px& got = out.at(x, y);
      // Bit patterns: NaN starts come back as they went in.
      EXPECT_EQ(bitsOf(got.r), bitsOf(want.r)) << x << "," << y << ": " << got.r << " " << want.r;
      EXPECT_EQ(bitsOf(got.g), bitsOf(want.g)) << x << "," << y << ": " << got.g << " " << want.g;
      EXPECT_EQ(bitsOf(got.b), bitsOf(want.b)) << x << "," << y << ": " << got.b << " " << want.b;
      EXPECT_EQ(bitsOf(got.a), bitsOf(want.a)) << x << "," << y << ": " << got.a << " " << want.a;
    }
}

TEST(FlowKernels, PatchSearchAbsorbsGainAndOffset) {
  // Current = gain x other + 0.1 at the same place: no motion, the gain found (up to its limits).
  const fmtest::FlowPair pr = fmtest::translatedPair(24, 20, 0, 0, 5);
  const HostImage other = featureOf(pr.other);
  for (float gain : {1.5f, 3.0f, 0.25f}) {
    HostImage cur = other;
    for (int y = 0; y < 20; ++y)
      for (int x = 0; x < 24; ++x) cur.at(x, y).r = gain * other.at(x, y).r + 0.1f;
    const HostImage T = templateOf(cur, other);
    HostImage P = patchGrid(T, 8, {0, 0, 1, 0});
    const HostImage out = runCpu(searchCall(P, T, 8, 10.0f), P);
    const float want = std::fmin(std::fmax(gain, 0.5f), 2.0f);
    for (int y = 0; y < P.height(); ++y)
      for (int x = 0; x < P.width(); ++x) {
        const Px& f = out.at(x, y);
        if (gain == 1.5f) {
          EXPECT_NEAR(f.r, 0.0f, 0.02f);
          EXPECT_NEAR(f.g, 0.0f, 0.02f);
        }
        EXPECT_NEAR(f.b, want, 0.02f * want) << gain;
      }
  }
}

TEST(FlowKernels, PatchSearchKeepsItsLimits) {
  const HostImage T = movedTemplate(40, 28, 2.5, 1.5, 9);
  // Never further than g0 from zero, never further than n from the start.
  for (float g0 : {0.0f, 1.0f}) {
    HostImage P = patchGrid(T, 8, {0, 0, 1, 0});
    const HostImage out = runCpu(searchCall(P, T, 8, g0), P);
    for (int y = 0; y < P.height(); ++y)
      for (int x = 0; x < P.width(); ++x) EXPECT_LE(std::hypot(out.at(x, y).r, out.at(x, y).g), g0 + 1e-5f);
  }
  HostImage noise = fmtest::randomImage(40, 28, 21, 0.0f, 1.0f);
  const HostImage TN = templateOf(featureOf(noise), featureOf(fmtest::randomImage(40, 28, 22, 0.0f, 1.0f)));
  HostImage P = patchGrid(TN, 8, {-3.0f, 2.0f, 1, 0});
  const HostImage out = runCpu(searchCall(P, TN, 8, 1000.0f), P);
  for (int y = 0; y < P.height(); ++y)
    for (int x = 0; x < P.width(); ++x) {
      ASSERT_TRUE(std::isfinite(out.at(x, y).r) && std::isfinite(out.at(x, y).b));
      EXPECT_LE(std::hypot(out.at(x, y).r + 3.0f, out.at(x, y).g - 2.0f), 8.0f + 1e-4f);
    }
}

TEST(FlowKernels, PatchSearchOnAFlatLevelKeepsEveryStart) {
  HostImage flat(20, 13), flatOther(20, 13);
  flat.fill({0.4f, 1, 0, 0});
  flatOther.fill({0.7f, 1, 0, 0});
  const HostImage T = templateOf(flat, flatOther);
  HostImage P = fmtest::randomImage(patchGrid(T, 8, {}).width(), patchGrid(T, 8, {}).height(), 23, -2.0f, 2.0f);
  const HostImage out = runCpu(searchCall(P, T, 8, 100.0f), P);
  for (int y = 0; y < P.height(); ++y)
    for (int x = 0; x < P.width(); ++x) {
      EXPECT_EQ(out.at(x, y).r, P.at(x, y).r);
      EXPECT_EQ(out.at(x, y).g, P.at(x, y).g);
      // Flat frames: the offset alone explains the difference.
      EXPECT_EQ(out.at(x, y).b, 1.0f);
      EXPECT_NEAR(out.at(x, y).a, -0.3f, 1e-5f);
    }
}

// Straightforward densification: every patch of the grid tested for covering the pixel.
Px densifyReference(const HostImage& P, const HostImage& T, int n, int x, int y) {
  double acc[4] = {0, 0, 0, 0}, wsum = 0;
  for (int j = 0; j < P.height(); ++j)
    for (int i = 0; i < P.width(); ++i) {
      const int px0 = std::min(i * 4, T.width() - n), py0 = std::min(j * 4, T.height() - n);
      if (x < px0 || x >= px0 + n || y < py0 || y >= py0 + n) continue;
      const Px f = P.at(i, j);
      // The other frame's feature, bilinear with clamped position.
      const double X = std::clamp(double(x + f.r), 0.0, double(T.width() - 1));
      const double Y = std::clamp(double(y + f.g), 0.0, double(T.height() - 1));
      const int x0 = int(X), y0 = int(Y), x1 = std::min(x0 + 1, T.width() - 1), y1 = std::min(y0 + 1, T.height() - 1);
      const double ax = X - x0, ay = Y - y0;
      const double z1 = (T.at(x0, y0).a * (1 - ax) + T.at(x1, y0).a * ax) * (1 - ay) +
                        (T.at(x0, y1).a * (1 - ax) + T.at(x1, y1).a * ax) * ay;
      const double d = f.b * z1 + f.a - T.at(x, y).r;
      const double w = 1.0 / std::max(1.0, 255.0 * std::fabs(d));
      acc[0] += w * f.r; acc[1] += w * f.g; acc[2] += w * f.b; acc[3] += w * f.a;
      wsum += w;
    }
  if (wsum == 0) return {0, 0, 1, 0};
  return {float(acc[0] / wsum), float(acc[1] / wsum), float(acc[2] / wsum), float(acc[3] / wsum)};
}

TEST(FlowKernels, DensifyMergesEveryCoveringPatchOnce) {
  // Widths whose last patch column is pulled back by 1, 2 and 3 pixels, a 5-pixel level.
  for (const auto& size : std::vector<std::pair<int, int>>{{21, 14}, {22, 19}, {23, 17}, {5, 20}, {8, 8}}) {
    const int W = size.first, H = size.second, n = std::min({8, W, H});
    const HostImage T = templateOf(featureOf(fmtest::randomImage(W, H, 24, 0.0f, 1.0f)),
                                   featureOf(fmtest::randomImage(W, H, 25, 0.0f, 1.0f)));
    HostImage P = fmtest::randomImage((W - n + 3) / 4 + 1, (H - n + 3) / 4 + 1, 26, -1.5f, 1.5f);
    for (int j = 0; j < P.height(); ++j)
      for (int i = 0; i < P.width(); ++i) P.at(i, j).b = 0.5f + 0.1f * float(i + j);
    HostImage D = fmtest::randomImage(W, H, 27);
    KernelCall c = call(FM_K_DENSIFY, D, &P, &T);
    c.params.n = n;
    c.params.segLen = 4;
    EXPECT_EQ(fmtest::compareTargets(c, 1e-5f, 1e-5f), "") << W << "x" << H;
    const HostImage out = runCpu(c, D);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const Px want = densifyReference(P, T, n, x, y);
        const Px& got = out.at(x, y);
        ASSERT_NEAR(got.r, want.r, 1e-4f) << W << "x" << H << " at " << x << "," << y;
        ASSERT_NEAR(got.g, want.g, 1e-4f) << W << "x" << H << " at " << x << "," << y;
        ASSERT_NEAR(got.b, want.b, 1e-4f) << W << "x" << H << " at " << x << "," << y;
        ASSERT_NEAR(got.a, want.a, 1e-4f) << W << "x" << H << " at " << x << "," << y;
      }
  }
}

// ------------------------------------------------------------------ refinement

TEST(FlowKernels, WarpCpuEqualsOpenclAndIsExactForAZeroFlow) {
  const HostImage T = movedTemplate(23, 17, 0.6, -0.4);
  HostImage U = fmtest::randomImage(23, 17, 28, -2.0f, 2.0f);
  for (int y = 0; y < 17; ++y)
    for (int x = 0; x < 23; ++x) U.at(x, y).b = 0.8f + 0.02f * float(x % 5);
  HostImage Wp = fmtest::randomImage(23, 17, 29);
  EXPECT_EQ(fmtest::compareTargets(call(FM_K_FLOW_WARP, Wp, &U, &T), 1e-5f, 1e-5f), "");
  HostImage zero(23, 17);
  zero.fill({0, 0, 1, 0});
  const HostImage out = runCpu(call(FM_K_FLOW_WARP, Wp, &zero, &T), Wp);
  EXPECT_NEAR(out.at(5, 5).r, T.at(5, 5).a - T.at(5, 5).r, 1e-6f);
  EXPECT_NEAR(out.at(5, 5).g, 0.5f * (T.at(6, 5).a - T.at(4, 5).a), 1e-6f);
  EXPECT_NEAR(out.at(5, 5).b, 0.5f * (T.at(5, 6).a - T.at(5, 4).a), 1e-6f);
  EXPECT_EQ(out.at(5, 5).a, T.at(5, 5).r);
}

TEST(FlowKernels, EdgeWeightsFallAcrossFeatureSteps) {
  HostImage T(6, 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) T.at(x, y) = {x < 3 ? 0.4f : 0.45f, 0, 0, 0};
  HostImage E = fmtest::randomImage(6, 4, 30);
  KernelCall c = call(FM_K_FLOW_EDGES, E, &T, nullptr);
  c.params.g1 = 0.02f;
  c.params.g2 = 20.0f;
  EXPECT_EQ(fmtest::compareTargets(c, 1e-7f, 1e-6f), "");
  const HostImage out = runCpu(c, E);
  EXPECT_NEAR(out.at(2, 1).r, 0.01f, 1e-6f);  // across the 0.05 step
  EXPECT_NEAR(out.at(3, 1).g, 0.01f, 1e-6f);
  EXPECT_NEAR(out.at(1, 1).r, 0.02f, 1e-7f);  // flat
  EXPECT_NEAR(out.at(1, 1).b, 0.02f, 1e-7f);
  EXPECT_EQ(out.at(5, 1).r, 0.0f);  // borders
  EXPECT_EQ(out.at(0, 1).g, 0.0f);
  EXPECT_EQ(out.at(2, 3).b, 0.0f);
  EXPECT_EQ(out.at(2, 0).a, 0.0f);
}

std::vector<float> tableOf(const HostImage& E) { return std::vector<float>(E.data(), E.data() + E.floats()); }

KernelCall refineCall(HostImage& dst, const HostImage& U, const HostImage& Wp, const std::vector<float>& tab,
                      int pitch, int mode, float g0) {
  KernelCall c = call(FM_K_FLOW_REFINE, dst, &U, &Wp);
  c.table = &tab;
  c.params.n = pitch;
  c.params.g0 = g0;
  c.params.g3 = 1.0f;
  c.params.mode = mode;
  return c;
}

TEST(FlowKernels, RefineCpuEqualsOpenclInBothModes) {
  const HostImage T = movedTemplate(26, 18, 0.7, 0.3);
  HostImage E(26, 18, 28);  // a pitch wider than the level
  KernelCall ec = call(FM_K_FLOW_EDGES, E, &T, nullptr);
  ec.params.g1 = 0.02f;
  ec.params.g2 = 20.0f;
  E = runCpu(ec, E);
  // A NaN weight counts as absent.
  E.at(4, 4).r = kNaN;
  const std::vector<float> tab = tableOf(E);
  HostImage U = fmtest::randomImage(26, 18, 31, -1.0f, 1.0f);
  HostImage Wp(26, 18);
  Wp = runCpu(call(FM_K_FLOW_WARP, Wp, &U, &T), Wp);
  for (int mode : {0, 1})
    for (float g0 : {0.5f, 100.0f}) {
      HostImage dst = fmtest::randomImage(26, 18, 32);
      const KernelCall c = refineCall(dst, U, Wp, tab, E.pitch(), mode, g0);
      EXPECT_EQ(fmtest::compareTargets(c, 1e-4f, 1e-4f), "") << mode << " " << g0;
      const HostImage out = runCpu(c, dst);
      for (int y = 0; y < 18; ++y)
        for (int x = 0; x < 26; ++x) {
          ASSERT_TRUE(std::isfinite(out.at(x, y).r) && std::isfinite(out.at(x, y).g));
          ASSERT_LE(std::hypot(out.at(x, y).r, out.at(x, y).g), g0 * 1.0001f);
          if (mode == 0) {
            ASSERT_EQ(out.at(x, y).b, U.at(x, y).b);
          }
        }
    }
}

TEST(FlowKernels, RefineConfidenceAndSingularSystems) {
  // One pixel: no neighbours and no gradient, so the system is singular and the flow stays.
  HostImage U(1, 1), Wp(1, 1), dst(1, 1);
  U.at(0, 0) = {1.25f, -0.5f, 0.9f, 0.1f};
  const std::vector<float> none(4, 0.0f);
  for (float r0 : {0.0f, 1.0f}) {
    Wp.at(0, 0) = {r0, 0, 0, 0.5f};
    const HostImage out = runCpu(refineCall(dst, U, Wp, none, 1, 1, 10.0f), dst);
    EXPECT_EQ(out.at(0, 0).r, 1.25f);
    EXPECT_EQ(out.at(0, 0).g, -0.5f);
    EXPECT_NEAR(out.at(0, 0).b, r0 == 0 ? 1.0f : 1.0f / 65.0f, 1e-7f);
    EXPECT_EQ(out.at(0, 0).a, r0);
  }
}

TEST(FlowKernels, FlowUpScalesAndCarriesConfidence) {
  const HostImage src = fmtest::randomImage(9, 7, 33, -2.0f, 2.0f);
  HostImage same = fmtest::randomImage(9, 7, 34);
  KernelCall c = call(FM_K_FLOW_UP, same, &src, nullptr);
  c.params.g0 = 1.0f;
  const HostImage copy = runCpu(c, same);
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 9; ++x) {
      EXPECT_EQ(copy.at(x, y).r, src.at(x, y).r);
      EXPECT_EQ(copy.at(x, y).g, src.at(x, y).g);
      EXPECT_EQ(copy.at(x, y).b, src.at(x, y).b);
      EXPECT_EQ(copy.at(x, y).a, 0.0f);
    }
  HostImage big = fmtest::randomImage(33, 27, 35);
  c = call(FM_K_FLOW_UP, big, &src, nullptr);
  c.params.g0 = 4.0f;
  c.params.ax = 2;
  c.params.ay = 1;
  EXPECT_EQ(fmtest::compareTargets(c, 1e-5f, 1e-5f), "");
  // A linear flow field is reproduced exactly by the bilinear sample, so the enlarged flow is
  // 4 times the field at the matching source position wherever that lies inside.
  HostImage lin(9, 7);
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 9; ++x) lin.at(x, y) = {0.3f * x + 0.2f * y, -0.1f * x, 0.5f, 7.0f};
  c.srcA = &lin;
  const HostImage up = runCpu(c, big);
  for (int y = 0; y < 27; ++y)
    for (int x = 0; x < 33; ++x) {
      const float X = (x + 2 + 0.5f) / 4.0f - 0.5f, Y = (y + 1 + 0.5f) / 4.0f - 0.5f;
      if (X < 0 || Y < 0 || X > 8 || Y > 6) continue;
      EXPECT_NEAR(up.at(x, y).r, 4.0f * (0.3f * X + 0.2f * Y), 1e-4f) << x << "," << y;
      EXPECT_NEAR(up.at(x, y).g, 4.0f * (-0.1f * X), 1e-4f) << x << "," << y;
      EXPECT_NEAR(up.at(x, y).b, 0.5f, 1e-6f);
      EXPECT_EQ(up.at(x, y).a, 0.0f);
    }
}

HostImage statsOf(const HostImage& U, const HostImage& T) {
  HostImage S(2, T.height());
  KernelCall c = call(FM_K_FLOW_STATS, S, &U, &T, 1, T.height());
  EXPECT_EQ(fmtest::compareTargets(c, 1e-4f, 1e-4f), "");
  return runCpu(c, S);
}

TEST(FlowKernels, StatsCountMatchedPixelsAndTheStillDifference) {
  const HostImage T = movedTemplate(30, 12, 1.0, 0.0);
  HostImage U(30, 12);
  U.fill({1.0f, 0.0f, 0.9f, 0.25f});
  // The last column moves 1 pixel past the edge and still counts; 3 columns out it does not.
  U.at(29, 3).r = 3.0f;
  HostImage S = statsOf(U, T);
  double still = 0;
  for (int x = 0; x < 30; ++x) still = std::max(still, double(std::fabs(T.at(x, 0).a - T.at(x, 0).r)));
  EXPECT_EQ(S.at(0, 0).b, 30.0f);
  EXPECT_EQ(S.at(0, 3).b, 29.0f);
  EXPECT_NEAR(S.at(0, 0).a, 30 * 0.25f, 1e-4f);
  EXPECT_NEAR(S.at(1, 0).a, still, 1e-6f);
  // A moved frame that matches: the moved mean equals the current mean closely.
  EXPECT_NEAR(S.at(0, 5).g, S.at(0, 5).r, 0.02f);
  // Identical frames have no still difference; a flow leaving the frame counts nothing.
  const HostImage same = templateOf(featureOf(fmtest::textureFrame(30, 12, 4)), featureOf(fmtest::textureFrame(30, 12, 4)));
  U.fill({-40.0f, 0, 1, 0});
  S = statsOf(U, same);
  for (int y = 0; y < 12; ++y) {
    EXPECT_EQ(S.at(1, y).a, 0.0f);
    EXPECT_EQ(S.at(0, y).b, 0.0f);
    EXPECT_EQ(S.at(0, y).r, 0.0f);
  }
}

}  // namespace
