// The four transfer kernels: exact values on the CPU, and CPU equal to OpenCL.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/support/KernelRun.h"

namespace {

using fmtest::blockFor;
using fmtest::HostImage;
using fmtest::KernelCall;
using fmtest::Px;

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// Runs `kernel` over a 1 x 1 destination from a 1 x 1 source holding `in`.
Px one(int kernel, Px in, int flags = 0, Px before = Px{}) {
  HostImage src(1, 1), dst(1, 1);
  src.at(0, 0) = in;
  dst.at(0, 0) = before;
  KernelCall c;
  c.kernel = kernel;
  c.dst = &dst;
  c.srcA = &src;
  c.params = blockFor(&dst, &src, nullptr);
  c.params.flags = flags;
  c.gridW = c.gridH = 1;
  EXPECT_TRUE(fmtest::runOnCpu(c));
  return dst.at(0, 0);
}

void expectPx(Px v, float r, float g, float b, float a) {
  EXPECT_FLOAT_EQ(v.r, r);
  EXPECT_FLOAT_EQ(v.g, g);
  EXPECT_FLOAT_EQ(v.b, b);
  EXPECT_FLOAT_EQ(v.a, a);
}

TEST(Import, PremultipliesAndSanitises) {
  expectPx(one(FM_K_IMPORT, {1, 1, 1, 0}), 0, 0, 0, 0);
  expectPx(one(FM_K_IMPORT, {1, 1, 1, kNaN}), 0, 0, 0, 0);
  expectPx(one(FM_K_IMPORT, {1, 1, 1, -kInf}), 0, 0, 0, 0);
  expectPx(one(FM_K_IMPORT, {1, 1, 1, -0.5f}), 0, 0, 0, 0);
  expectPx(one(FM_K_IMPORT, {0.5f, 0.5f, 0.5f, 2}), 0.5f, 0.5f, 0.5f, 1);
  expectPx(one(FM_K_IMPORT, {0.5f, 0.5f, 0.5f, kInf}), 0, 0, 0, 0);
  // Infinite colour becomes 0; out-of-range colour passes.
  expectPx(one(FM_K_IMPORT, {kInf, 2, -1, 0.5f}), 0, 1, -0.5f, 0.5f);
  expectPx(one(FM_K_IMPORT, {kNaN, -kInf, 4, 0.25f}), 0, 0, 1, 0.25f);
  // Near-zero alpha keeps its tiny value and scales the colour.
  expectPx(one(FM_K_IMPORT, {1, 0.5f, 0.25f, 1e-8f}), 1e-8f, 0.5e-8f, 0.25e-8f, 1e-8f);
}

TEST(Import, SwapsRedAndBlueAndAccumulatesWithWeight) {
  expectPx(one(FM_K_IMPORT, {0.1f, 0.2f, 0.3f, 1}, FM_F_SWAP_RB), 0.3f, 0.2f, 0.1f, 1);
  HostImage src(1, 1), dst(1, 1);
  src.at(0, 0) = {1, 0.5f, 0, 0.5f};
  dst.at(0, 0) = {1, 1, 1, 1};
  KernelCall c;
  c.kernel = FM_K_IMPORT;
  c.dst = &dst;
  c.srcA = &src;
  c.params = blockFor(&dst, &src, nullptr);
  c.params.flags = FM_F_ACCUM;
  c.params.g0 = 0.5f;
  c.gridW = c.gridH = 1;
  ASSERT_TRUE(fmtest::runOnCpu(c));
  expectPx(dst.at(0, 0), 1.25f, 1.125f, 1, 1.25f);
}

TEST(Export, UnpremultipliesAndClamps) {
  expectPx(one(FM_K_EXPORT, {0.25f, 0.5f, 0, 0.5f}), 0.5f, 1, 0, 0.5f);
  expectPx(one(FM_K_EXPORT, {0.25f, 0.5f, 0, 0.5f}, FM_F_SWAP_RB), 0, 1, 0.5f, 0.5f);
  expectPx(one(FM_K_EXPORT, {2, 2, 2, 2}), 1, 1, 1, 1);
  expectPx(one(FM_K_EXPORT, {3, 0, 0, 1}, FM_F_CLAMP01), 1, 0, 0, 1);
  expectPx(one(FM_K_EXPORT, {3, 0, 0, 1}), 3, 0, 0, 1);
  expectPx(one(FM_K_EXPORT, {-0.5f, 0, 0, 1}, FM_F_CLAMP01), 0, 0, 0, 1);
  // Colour is dropped below alpha 1e-7 while the alpha itself is written.
  expectPx(one(FM_K_EXPORT, {1e-8f, 1e-8f, 1e-8f, 1e-8f}), 0, 0, 0, 1e-8f);
  expectPx(one(FM_K_EXPORT, {0.5f, 0.5f, 0.5f, -1}), 0, 0, 0, 0);
  // Non-finite colour never reaches the host; neither does a NaN alpha.
  expectPx(one(FM_K_EXPORT, {kInf, kNaN, 0.5f, 1}), 0, 0, 0.5f, 1);
  expectPx(one(FM_K_EXPORT, {kInf, 0.5f, 0.5f, 1}, FM_F_CLAMP01), 1, 0.5f, 0.5f, 1);
  expectPx(one(FM_K_EXPORT, {0.5f, 0.5f, 0.5f, kNaN}), 0, 0, 0, 0);
  expectPx(one(FM_K_EXPORT, {0.5f, 0.5f, 0.5f, kInf}), 0, 0, 0, 1);
  // Export never accumulates, even with the flag set.
  expectPx(one(FM_K_EXPORT, {0.5f, 0.5f, 0.5f, 1}, FM_F_ACCUM, {9, 9, 9, 9}), 0.5f, 0.5f, 0.5f, 1);
}

TEST(Copy, ShiftsAndFadesOutsideTheSource) {
  HostImage src = fmtest::randomImage(5, 4, 1, 0, 1);
  HostImage dst(8, 6);
  dst.fill({7, 7, 7, 7});
  KernelCall c;
  c.kernel = FM_K_COPY;
  c.dst = &dst;
  c.srcA = &src;
  c.params = blockFor(&dst, &src, nullptr);
  c.params.ax = -2;  // destination column x reads source column x - 2
  c.params.ay = 1;
  c.gridW = 8;
  c.gridH = 6;
  ASSERT_TRUE(fmtest::runOnCpu(c));
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 8; ++x) {
      const int sx = x - 2, sy = y + 1;
      const bool inside = sx >= 0 && sx < 5 && sy >= 0 && sy < 4;
      const Px want = inside ? src.at(sx, sy) : Px{};
      ASSERT_EQ(dst.at(x, y).r, want.r) << x << "," << y;
      ASSERT_EQ(dst.at(x, y).a, want.a) << x << "," << y;
    }
}

TEST(Copy, ClampModeRepeatsTheWindowEdge) {
  HostImage src = fmtest::randomImage(6, 3, 2, 0, 1);
  HostImage dst(10, 3);
  KernelCall c;
  c.kernel = FM_K_COPY;
  c.dst = &dst;
  c.srcA = &src;
  c.params = blockFor(&dst, &src, nullptr);
  c.params.mode = 1;
  c.params.lo = 3;
  c.params.hi = 4;  // one column
  c.params.lo2 = 0;
  c.params.hi2 = 3;
  c.gridW = 10;
  c.gridH = 3;
  ASSERT_TRUE(fmtest::runOnCpu(c));
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 10; ++x) ASSERT_EQ(dst.at(x, y).g, src.at(3, y).g);
}

TEST(Copy, TwoHalfWeightAccumulationsAddTheSourceOnce) {
  HostImage src = fmtest::randomImage(4, 4, 3, 0, 1);
  HostImage dst = fmtest::randomImage(4, 4, 4, 0, 1);
  const HostImage before = dst;
  KernelCall c;
  c.kernel = FM_K_COPY;
  c.dst = &dst;
  c.srcA = &src;
  c.params = blockFor(&dst, &src, nullptr);
  c.params.flags = FM_F_ACCUM;
  c.params.g0 = 0.5f;
  c.gridW = c.gridH = 4;
  ASSERT_TRUE(fmtest::runOnCpu(c));
  ASSERT_TRUE(fmtest::runOnCpu(c));
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) EXPECT_FLOAT_EQ(dst.at(x, y).b, before.at(x, y).b + src.at(x, y).b);
}

TEST(Clear, StopsAtY1AndIgnoresItemsPastTheImage) {
  HostImage dst(5, 6);
  dst.fill({1, 2, 3, 4});
  KernelCall c;
  c.kernel = FM_K_CLEAR;
  c.dst = &dst;
  c.params = blockFor(&dst, nullptr, nullptr);
  c.params.y1 = 4;
  c.gridW = 9;   // wider and taller than the work: must be harmless
  c.gridH = 10;
  ASSERT_TRUE(fmtest::runOnCpu(c));
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 5; ++x) EXPECT_EQ(dst.at(x, y).a, y < 4 ? 0.0f : 4.0f) << x << "," << y;
}

// ---------------------------------------------------------------- CPU against OpenCL

struct Variant {
  int kernel;
  int flags;
  int mode;
  float g0;
  int ax, ay;
};

class TransferTargets : public ::testing::TestWithParam<Variant> {};

TEST_P(TransferTargets, CpuEqualsOpencl) {
  const Variant v = GetParam();
  // Odd sizes and pitches, a source smaller than the destination, non-finite values everywhere.
  HostImage src = fmtest::randomImage(37, 23, 11 + v.kernel, -0.5f, 1.5f, true, 41);
  HostImage dst = fmtest::randomImage(45, 29, 17 + v.flags, -0.5f, 1.5f, true, 47);
  KernelCall c;
  c.kernel = v.kernel;
  c.dst = &dst;
  c.srcA = v.kernel == FM_K_CLEAR ? nullptr : &src;
  c.params = blockFor(&dst, c.srcA, nullptr);
  c.params.flags = v.flags;
  c.params.mode = v.mode;
  c.params.g0 = v.g0;
  c.params.ax = v.ax;
  c.params.ay = v.ay;
  c.params.lo = 5;
  c.params.hi = 30;
  c.params.lo2 = 2;
  c.params.hi2 = 20;
  c.params.y1 = 27;  // the last rows stay as they were on both targets
  c.gridW = 50;
  c.gridH = 31;
  // Colour arithmetic is the same few IEEE operations on both sides: no tolerance.
  EXPECT_EQ(fmtest::compareTargets(c), "");
}

INSTANTIATE_TEST_SUITE_P(
    AllTransfers, TransferTargets,
    ::testing::Values(Variant{FM_K_CLEAR, 0, 0, 1.0f, 0, 0},
                      Variant{FM_K_COPY, 0, 0, 1.0f, 3, -2},
                      Variant{FM_K_COPY, FM_F_ACCUM, 0, 0.5f, -4, 5},
                      Variant{FM_K_COPY, 0, 1, 0.75f, 0, 0},
                      Variant{FM_K_IMPORT, 0, 0, 1.0f, 0, 0},
                      Variant{FM_K_IMPORT, FM_F_SWAP_RB | FM_F_ACCUM, 0, 0.25f, -3, 2},
                      Variant{FM_K_EXPORT, 0, 0, 1.0f, 0, 0},
                      Variant{FM_K_EXPORT, FM_F_SWAP_RB | FM_F_CLAMP01, 0, 1.0f, 2, -1}));

}  // namespace
