// Vector Blur kernels on the CPU against OpenCL.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/KernelRun.h"

namespace {

using fmtest::HostImage;
using fmtest::KernelCall;

// A smooth map: gradients of every direction, no flat plateaus.
HostImage smoothMap(int w, int h) {
  HostImage m(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const float v = 0.5f + 0.3f * std::sin(x * 0.21f + 0.4f) * std::cos(y * 0.17f - 0.3f) + 0.01f * x;
      m.at(x, y) = {v, 1 - v, 0.5f * v, 0.8f};
    }
  return m;
}

TEST(VecScalar, CpuEqualsOpenclForEveryChannel) {
  HostImage map = fmtest::randomImage(23, 17, 3, -0.2f, 1.2f);
  for (int ch = 1; ch <= 8; ++ch)
    for (int mode : {0, 1}) {
      HostImage dst = fmtest::randomImage(31, 26, 4);
      KernelCall c;
      c.kernel = FM_K_VEC_SCALAR;
      c.dst = &dst;
      c.srcA = &map;
      c.params = fmtest::blockFor(&dst, &map, nullptr);
      c.params.mode = mode;
      c.params.channel = ch;
      c.params.lo = 2;
      c.params.hi = 20;
      c.params.lo2 = 1;
      c.params.hi2 = 15;
      c.params.g0 = 0.8f;
      c.params.g1 = -2.3f;
      c.params.g2 = 0.7f;
      c.params.g3 = 1.6f;
      c.gridW = 31;
      c.gridH = 26;
      EXPECT_EQ(fmtest::compareTargets(c, 1e-5f, 1e-5f), "") << ch << " " << mode;
    }
}

TEST(Vector, CpuEqualsOpenclForEveryType) {
  HostImage src = fmtest::randomImage(40, 30, 5, 0.0f, 1.0f);
  HostImage map = smoothMap(46, 36);
  for (int mode = 1; mode <= 5; ++mode)
    for (float amount : {7.5f, -4.0f}) {
      HostImage dst = fmtest::randomImage(40, 30, 6);
      KernelCall c;
      c.kernel = FM_K_VECTOR;
      c.dst = &dst;
      c.srcA = &src;
      c.srcB = &map;
      c.params = fmtest::blockFor(&dst, &src, &map);
      c.params.mode = mode;
      c.params.bx = 3;
      c.params.by = 3;
      c.params.g0 = amount;
      c.params.g1 = 1.0f;
      c.params.g2 = 0.8f;
      c.params.g3 = std::cos(0.3f);
      c.params.g4 = std::sin(0.3f);
      c.params.g5 = 0.01f;
      c.params.n = 9;
      c.gridW = 40;
      c.gridH = 30;
      // Sine and cosine come from each target's own library; sample positions may move by
      // a few ulps, and the source's steps turn that into small value differences.
      EXPECT_EQ(fmtest::compareTargets(c, 2e-4f, 1e-4f), "") << mode << " " << amount;
    }
}

}  // namespace
