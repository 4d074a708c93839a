// Edge behaviour of the shared sampling helpers, on the CPU and inside an OpenCL kernel.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/cpu/CpuKernels.h"
#include "tests/support/KernelRun.h"

namespace {

using fm::float4;
using fmtest::HostImage;
using fmtest::Px;

const float kNaN = std::numeric_limits<float>::quiet_NaN();

// 3 x 2 image; pixel (x, y) = (10 y + x + 1, 2, 3, 4) scaled so channels differ.
HostImage smallImage() {
  HostImage im(3, 2, 4);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) im.at(x, y) = Px{float(10 * y + x + 1), 2.0f * (x + 1), 0.5f, 1.0f};
  return im;
}

const float4* pixels(const HostImage& im) { return reinterpret_cast<const float4*>(im.data()); }

float4 bilin(const HostImage& im, float X, float Y) {
  return fm::fm_bilin0(pixels(im), im.width(), im.height(), im.pitch(), X, Y);
}

void expectPx(float4 v, float r, float g, float b, float a) {
  EXPECT_FLOAT_EQ(v[0], r);
  EXPECT_FLOAT_EQ(v[1], g);
  EXPECT_FLOAT_EQ(v[2], b);
  EXPECT_FLOAT_EQ(v[3], a);
}

TEST(Fetch0, OutsideIsTransparent) {
  HostImage im = smallImage();
  const float4* p = pixels(im);
  expectPx(fm::fm_fetch0(p, 3, 2, 4, -1, 0), 0, 0, 0, 0);
  expectPx(fm::fm_fetch0(p, 3, 2, 4, 3, 0), 0, 0, 0, 0);
  expectPx(fm::fm_fetch0(p, 3, 2, 4, 0, -1), 0, 0, 0, 0);
  expectPx(fm::fm_fetch0(p, 3, 2, 4, 0, 2), 0, 0, 0, 0);
  expectPx(fm::fm_fetch0(p, 3, 2, 4, 2, 1), 13, 6, 0.5f, 1);
}

TEST(Bilin0, InteriorInterpolatesInOrder) {
  HostImage im = smallImage();
  expectPx(bilin(im, 0, 0), 1, 2, 0.5f, 1);
  expectPx(bilin(im, 1.5f, 0.5f), 0.5f * (7 + 8), 5, 0.5f, 1);
  expectPx(bilin(im, 0.25f, 0.75f), (1 * 0.75f + 2 * 0.25f) * 0.25f + (11 * 0.75f + 12 * 0.25f) * 0.75f,
           2.5f, 0.5f, 1);
}

TEST(Bilin0, FadesToTransparentOverTheOuterHalfPixel) {
  HostImage im = smallImage();
  // Half of the edge pixel half a pixel outside, on every side.
  expectPx(bilin(im, -0.5f, 0), 0.5f, 1, 0.25f, 0.5f);
  expectPx(bilin(im, 2.5f, 1), 6.5f, 3, 0.25f, 0.5f);
  expectPx(bilin(im, 0, -0.5f), 0.5f, 1, 0.25f, 0.5f);
  expectPx(bilin(im, 2, 1.5f), 6.5f, 3, 0.25f, 0.5f);
  // The exact limits and anything beyond them are transparent.
  expectPx(bilin(im, -1, 0), 0, 0, 0, 0);
  expectPx(bilin(im, 0, -1), 0, 0, 0, 0);
  expectPx(bilin(im, 3, 0), 0, 0, 0, 0);
  expectPx(bilin(im, 0, 2), 0, 0, 0, 0);
  const float4 justInside = bilin(im, -0.999f, 0);
  EXPECT_NEAR(justInside[0], 0.001f, 1e-6f);
  EXPECT_NEAR(justInside[3], 0.001f, 1e-6f);
}

TEST(Bilin0, NonFiniteCoordinatesAreTransparent) {
  HostImage im = smallImage();
  const float inf = std::numeric_limits<float>::infinity();
  for (float c : {kNaN, inf, -inf, 1e30f, -1e30f}) {
    expectPx(bilin(im, c, 0.5f), 0, 0, 0, 0);
    expectPx(bilin(im, 0.5f, c), 0, 0, 0, 0);
  }
}

TEST(BilinXClamp, RepeatsTheNearestEdge) {
  HostImage im = smallImage();
  auto s = [&](float X, float Y) { return fm::fm_bilin_x_clamp(pixels(im), 3, 2, 4, X, Y); };
  EXPECT_FLOAT_EQ(s(-100, -100), 1);
  EXPECT_FLOAT_EQ(s(100, -5), 3);
  EXPECT_FLOAT_EQ(s(100, 100), 13);
  EXPECT_FLOAT_EQ(s(-3, 0.5f), 6);
  EXPECT_FLOAT_EQ(s(1.5f, 0.5f), 7.5f);
  EXPECT_FLOAT_EQ(s(2.0f, 1.0f), 13);  // last column and row read no neighbour past the edge

  HostImage one(1, 1);
  one.at(0, 0) = Px{0.25f, 9, 9, 9};
  for (float c : {-1e9f, -0.5f, 0.0f, 0.7f, 1e9f, kNaN})
    EXPECT_FLOAT_EQ(fm::fm_bilin_x_clamp(pixels(one), 1, 1, 1, c, -c), 0.25f);
  // A NaN coordinate reads the first row or column, never memory outside the map.
  EXPECT_FLOAT_EQ(s(kNaN, 1.0f), 11);
  EXPECT_FLOAT_EQ(s(2.0f, kNaN), 3);
}

TEST(MathWrappers, PowOfNonPositiveBaseIsZero) {
  EXPECT_EQ(fm::fm_powf(0.0f, 2.2f), 0.0f);
  EXPECT_EQ(fm::fm_powf(-1.0f, 2.0f), 0.0f);
  EXPECT_EQ(fm::fm_powf(0.0f, 0.0f), 0.0f);
  EXPECT_FLOAT_EQ(fm::fm_powf(4.0f, 0.5f), 2.0f);
  EXPECT_EQ(fm::fm_finite(kNaN), 0);
  EXPECT_EQ(fm::fm_finite(std::numeric_limits<float>::infinity()), 0);
  EXPECT_EQ(fm::fm_finite(3.4e38f), 1);
  EXPECT_EQ(fm::fm_clampi(5, 7, 3), 7);  // crossed bounds keep the lower one
  EXPECT_EQ(fm::fm_clampf(kNaN, 0.0f, 1.0f) != fm::fm_clampf(kNaN, 0.0f, 1.0f), true);
}

TEST(Store, AccumulatesOnlyWhenAsked) {
  float4 d[1] = {fm::make_f4(1, 2, 3, 4)};
  fm::fm_store(d, 0, fm::make_f4(1, 1, 1, 1), 1);
  expectPx(d[0], 2, 3, 4, 5);
  fm::fm_store(d, 0, fm::make_f4(1, 1, 1, 1), 0);
  expectPx(d[0], 1, 1, 1, 1);
}

// The same samples evaluated by the OpenCL build of the helpers.
TEST(SamplersOpencl, MatchTheCpu) {
  FM_REQUIRE_OPENCL();
  fmtest::OpenCLDevice* cl = fmtest::OpenCLDevice::get();
  const char* probe = R"CL(
__kernel void fm_probe_samplers(__global int* out, FMParams p) {
  __global float* f = (__global float*)out;
  for (int i = 0; i < 32; ++i) f[i] = p.t[i];
  __global const float4* img = (__global const float4*)out;
  for (int k = 0; k < p.count; ++k) {
    float X = p.t[32 + 2 * k], Y = p.t[33 + 2 * k];
    float4 v = fm_bilin0(img, 3, 2, 4, X, Y);
    f[32 + 5 * k] = v.x; f[33 + 5 * k] = v.y; f[34 + 5 * k] = v.z; f[35 + 5 * k] = v.w;
    f[36 + 5 * k] = fm_bilin_x_clamp(img, 3, 2, 4, X, Y);
  }
  f[32 + 5 * p.count] = fm_powf(0.0f, 2.2f);
  f[33 + 5 * p.count] = fm_powf(-1.0f, 2.0f);
}
)CL";
  HostImage im = smallImage();
  const std::vector<std::pair<float, float>> coords = {
      {0, 0}, {1.5f, 0.5f}, {-0.5f, 0}, {2.5f, 1}, {-1, 0}, {0, -1}, {3, 0}, {0.3f, 2},
      {kNaN, 0.5f}, {0.5f, kNaN}, {-100, 100}, {1.25f, 0.75f}, {2.9f, -0.9f}, {-0.2f, 1.4f}};
  FMParams p{};
  std::memcpy(p.t, im.data(), 32 * sizeof(float));
  p.count = int(coords.size());
  for (size_t k = 0; k < coords.size(); ++k) {
    p.t[32 + 2 * k] = coords[k].first;
    p.t[33 + 2 * k] = coords[k].second;
  }
  std::vector<int> out;
  std::string err;
  const int n = 32 + 5 * p.count + 2;
  ASSERT_TRUE(cl->runProbe(probe, "fm_probe_samplers", p, out, n, &err)) << err;
  const float* f = reinterpret_cast<const float*>(out.data());
  for (size_t k = 0; k < coords.size(); ++k) {
    const float X = coords[k].first, Y = coords[k].second;
    const float4 v = bilin(im, X, Y);
    const float c = fm::fm_bilin_x_clamp(pixels(im), 3, 2, 4, X, Y);
    for (int ch = 0; ch < 4; ++ch)
      EXPECT_NEAR(f[32 + 5 * k + ch], v[ch], 1e-5f) << "bilin0 sample " << k << " channel " << ch;
    EXPECT_NEAR(f[36 + 5 * k], c, 1e-5f) << "clamp sample " << k;
  }
  EXPECT_EQ(f[32 + 5 * p.count], 0.0f);
  EXPECT_EQ(f[33 + 5 * p.count], 0.0f);
}

}  // namespace
