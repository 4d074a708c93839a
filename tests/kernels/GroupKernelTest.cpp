// The group pass kernel: each transform against a double-precision reference, CPU equal to
// OpenCL, and the CPU's translation runner and rotation/scaling band runner equal to the
// kernel's own work items bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "gpu/KernelTexts.h"
#include "tests/support/GroupReference.h"
#include "tests/support/KernelRun.h"

namespace {

using fmtest::HostImage;
using fmtest::KernelCall;

// Random colour with every seventh pixel transparent, so samples cross empty pixels too.
HostImage mixedImage(int w, int h, uint32_t seed, int pitch = 0) {
  HostImage im = fmtest::randomImage(w, h, seed, -0.5f, 1.5f, false, pitch);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      if ((x * 3 + y * 5) % 7 == 0) im.at(x, y) = fmtest::Px{};
  return im;
}

// Taps of one mode: shifts reaching past every edge of a `w` x `h` source, rotations over a
// whole turn, scales from 0.3 to 2.5; weights of both signs, not normalised.
std::vector<float> randomTaps(int mode, int count, uint32_t seed, int w, int h) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  std::vector<float> t;
  for (int i = 0; i < count; ++i) {
    float a, b;
    if (mode == FM_GROUP_TRANSLATE) {
      a = (u(rng) - 0.5f) * 1.4f * float(w);
      b = (u(rng) - 0.5f) * 1.4f * float(h);
    } else if (mode == FM_GROUP_ROTATE) {
      const double angle = u(rng) * 6.283185307179586;
      a = float(std::cos(angle));
      b = float(std::sin(angle));
    } else {
      a = 0.3f + 2.2f * u(rng);
      b = 0.0f;
    }
    t.insert(t.end(), {a, b, u(rng) * 1.5f - 0.4f});
  }
  return t;
}

KernelCall groupCall(int mode, const std::vector<float>& taps, HostImage& dst, const HostImage& src) {
  KernelCall c;
  c.kernel = FM_K_GROUP;
  c.dst = &dst;
  c.srcA = &src;
  c.params = fmtest::blockFor(&dst, &src, nullptr);
  c.params.mode = mode;
  c.params.count = int(taps.size() / 3);
  for (size_t i = 0; i < taps.size() && i < FM_T_FLOATS; ++i) c.params.t[i] = taps[i];
  c.params.cx = 0.43f * float(dst.width());
  c.params.cy = 0.61f * float(dst.height());
  c.params.kx = 1.7f;  // non-square: rotations are elliptical in the pixel grid
  c.params.ky = 1.0f;
  c.gridW = dst.width();
  c.gridH = dst.height();
  c.cost = 4.0 * c.params.count;
  return c;
}

// Bit-for-bit equality (beyond firstDifference, which lets -0 equal +0).
bool sameBits(const HostImage& a, const HostImage& b) {
  return a.floats() == b.floats() && std::memcmp(a.data(), b.data(), a.floats() * sizeof(float)) == 0;
}

const char* modeName(int mode) {
  return mode == FM_GROUP_TRANSLATE ? "translate" : mode == FM_GROUP_ROTATE ? "rotate" : "scale";
}

TEST(GroupKernel, EachTransformMatchesTheReference) {
  const HostImage src = mixedImage(37, 29, 3);
  const fm::Rect frame{0, 0, 37, 29};
  const fmtest::RefImage ref = fmtest::refLoad(src, frame, frame, frame);
  for (int mode : {FM_GROUP_TRANSLATE, FM_GROUP_ROTATE, FM_GROUP_SCALE}) {
    SCOPED_TRACE(modeName(mode));
    const std::vector<float> taps = randomTaps(mode, 7, 10 + mode, 37, 29);
    HostImage dst(37, 29);
    const KernelCall c = groupCall(mode, taps, dst, src);
    ASSERT_TRUE(fmtest::runOnCpu(c));
    const fmtest::RefImage want =
        fmtest::refGroupPass(ref, mode, taps, c.params.cx, c.params.cy, c.params.kx, frame);
    const fm::Buffer out = dst.buffer();
    // Positions are single precision on the kernel's side: a few 1e-6 pixels on values of a few units.
    EXPECT_LE(fmtest::maxDifference(out, frame, want), 2e-4);
  }
}

TEST(GroupKernel, WholeShiftsAndQuarterTurnsMovePixelsExactly) {
  const HostImage src = mixedImage(16, 12, 4);
  HostImage dst(16, 12);
  // Shift by (3, -2): output (x, y) is source (x + 3, y - 2), transparent where that is outside.
  KernelCall c = groupCall(FM_GROUP_TRANSLATE, {3.0f, -2.0f, 1.0f}, dst, src);
  ASSERT_TRUE(fmtest::runOnCpu(c));
  for (int y = 0; y < 12; ++y)
    for (int x = 0; x < 16; ++x) {
      const bool in = x + 3 < 16 && y - 2 >= 0;
      EXPECT_EQ(dst.at(x, y).g, in ? src.at(x + 3, y - 2).g : 0.0f) << x << "," << y;
    }
  // A quarter turn about the corner between pixels (7, 5) and (8, 6), square pixels: output pixel
  // at offset (u, v) from it reads the source at (-v, u).
  c = groupCall(FM_GROUP_ROTATE, {0.0f, 1.0f, 1.0f}, dst, src);
  c.params.cx = 8;
  c.params.cy = 6;
  c.params.kx = 1;
  ASSERT_TRUE(fmtest::runOnCpu(c));
  for (int y = 2; y < 10; ++y)
    for (int x = 4; x < 12; ++x) EXPECT_EQ(dst.at(x, y).b, src.at(8 + (6 - y) - 1, 6 + (x - 8)).b) << x << "," << y;
  // Scale 2 about the same corner: (u, v) reads (2u, 2v).
  c = groupCall(FM_GROUP_SCALE, {2.0f, 0.0f, 0.5f}, dst, src);
  c.params.cx = 8;
  c.params.cy = 6;
  ASSERT_TRUE(fmtest::runOnCpu(c));
  for (int y = 4; y < 9; ++y)
    for (int x = 5; x < 12; ++x) {
      // Pixel centre 8 + u maps to 8 + 2u: halfway between two source pixels.
      const float l = src.at(2 * x - 8, 2 * y - 6).r, r = src.at(2 * x - 7, 2 * y - 6).r;
      const float l2 = src.at(2 * x - 8, 2 * y - 5).r, r2 = src.at(2 * x - 7, 2 * y - 5).r;
      if (2 * x - 7 >= 16 || 2 * y - 5 >= 12) continue;
      EXPECT_NEAR(dst.at(x, y).r, 0.5f * 0.25f * (l + r + l2 + r2), 1e-6) << x << "," << y;
    }
}

TEST(GroupKernel, WritesRatherThanAccumulatesAndCutsTheTapCount) {
  const HostImage src = mixedImage(20, 9, 5);
  std::vector<float> taps = randomTaps(FM_GROUP_TRANSLATE, 32, 6, 20, 9);
  HostImage a = fmtest::randomImage(20, 9, 7), b = fmtest::randomImage(20, 9, 8);
  KernelCall c = groupCall(FM_GROUP_TRANSLATE, taps, a, src);
  ASSERT_TRUE(fmtest::runOnCpu(c));
  c.dst = &b;
  c.params.count = 100000;  // would read far past the 96-float table
  ASSERT_TRUE(fmtest::runOnCpu(c));
  EXPECT_EQ(fmtest::firstDifference(a, b), "");  // the old contents played no part either
  c.params.count = -3;  // no taps: transparent
  ASSERT_TRUE(fmtest::runOnCpu(c));
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 20; ++x) EXPECT_EQ(b.at(x, y).a, 0.0f);
}

// A destination that starts at (ax, ay) of the frame holds exactly those pixels of a whole-frame
// pass, through the CPU's runners as through the work items.
TEST(GroupKernel, AnOffsetDestinationIsACropOfTheWholeFrame) {
  const HostImage src = mixedImage(150, 41, 11, 152);
  const struct {
    int ax, ay, w, h;
  } crops[] = {{0, 0, 150, 41}, {7, 3, 100, 30}, {70, 0, 80, 41}, {1, 40, 149, 1}};
  for (int mode : {FM_GROUP_TRANSLATE, FM_GROUP_ROTATE, FM_GROUP_SCALE}) {
    SCOPED_TRACE(modeName(mode));
    std::vector<float> taps = randomTaps(mode, 9, 60 + mode, 150, 41);
    if (mode == FM_GROUP_TRANSLATE)  // small shifts, so that rows are taken together as well
      for (int i = 3; i < 9; ++i) taps[size_t(3 * i + 1)] = 0.25f * float(i);
    HostImage whole(150, 41);
    const KernelCall full = groupCall(mode, taps, whole, src);
    ASSERT_TRUE(fmtest::runItemsOnCpu(full));
    for (const auto& k : crops) {
      SCOPED_TRACE(::testing::Message() << k.ax << "," << k.ay << " " << k.w << "x" << k.h);
      HostImage part = fmtest::randomImage(k.w, k.h, 61);
      KernelCall c = groupCall(mode, taps, part, src);
      c.params.cx = full.params.cx;
      c.params.cy = full.params.cy;
      c.params.ax = k.ax;
      c.params.ay = k.ay;
      ASSERT_TRUE(fmtest::runOnCpu(c, 2));
      HostImage crop(k.w, k.h);
      for (int y = 0; y < k.h; ++y)
        for (int x = 0; x < k.w; ++x) crop.at(x, y) = whole.at(k.ax + x, k.ay + y);
      EXPECT_TRUE(sameBits(part, crop));
      c.dst = &crop;
      ASSERT_TRUE(fmtest::runItemsOnCpu(c));
      EXPECT_TRUE(sameBits(part, crop));
    }
  }
}

TEST(GroupKernel, CpuEqualsOpencl) {
  const HostImage src = mixedImage(45, 31, 9, 48);
  for (int mode : {FM_GROUP_TRANSLATE, FM_GROUP_ROTATE, FM_GROUP_SCALE})
    for (int count : {1, 13, 32}) {
      HostImage dst = fmtest::randomImage(41, 35, 10, 0, 1, false, 44);
      KernelCall c = groupCall(mode, randomTaps(mode, count, 20 + count, 45, 31), dst, src);
      c.params.ax = 3 - count;
      c.params.ay = count % 5;
      // Same operations; only contraction into fused multiply-adds may differ, which moves a
      // rotated or scaled position by a few 1e-6 pixels.
      EXPECT_EQ(fmtest::compareTargets(c, 2e-5f, 2e-5f), "") << modeName(mode) << " " << count;
    }
}

TEST(GroupKernel, PtxNamesTheEntry) {
  const std::string ptx(fm::ptxKernelText(), fm::ptxKernelTextSize());
  EXPECT_NE(ptx.find(".entry fm_group("), std::string::npos);
}

// ------------------------------------------------------------ the CPU's translation runner

struct RunnerCase {
  int w, h;       // destination
  int count;      // taps
  bool specials;  // NaN, infinities and huge values in the source
};

void PrintTo(const RunnerCase& c, std::ostream* os) {
  *os << c.w << "x" << c.h << ", " << c.count << " taps" << (c.specials ? ", special values" : "");
}

class GroupRunner : public ::testing::TestWithParam<RunnerCase> {};

// Shifts of every kind: whole and fractional, along one axis and both, past each edge and far
// outside, so rows are taken together, one at a time, and at the image's top and bottom.
std::vector<float> runnerTaps(int count, uint32_t seed, int w, int h) {
  std::vector<float> t = randomTaps(FM_GROUP_TRANSLATE, count, seed, w, h);
  const float special[][2] = {{0.0f, 0.0f},  {-0.5f, 0.25f}, {2.0f, -3.0f}, {0.0f, 1e9f},
                              {-1e9f, 0.0f}, {float(w), 0.5f}, {-0.999f, float(h) - 0.001f}, {0.3f, -1.0f}};
  for (int i = 0; i < count && i < 8; ++i) {
    t[size_t(3 * i)] = special[i][0];
    t[size_t(3 * i + 1)] = special[i][1];
  }
  return t;
}

TEST_P(GroupRunner, EqualsTheKernelsWorkItemsBitForBit) {
  const RunnerCase rc = GetParam();
  const int sw = rc.w + 3, sh = rc.h - 2;
  const HostImage src = rc.specials ? fmtest::randomImage(sw, sh, 31, -0.5f, 1.5f, true, sw + 1)
                                    : mixedImage(sw, sh, 31, sw + 1);
  HostImage viaRunner = fmtest::randomImage(rc.w, rc.h, 32), viaItems = viaRunner;
  KernelCall c = groupCall(FM_GROUP_TRANSLATE, runnerTaps(rc.count, 33 + rc.count, sw, sh), viaRunner, src);
  ASSERT_TRUE(fmtest::runOnCpu(c, 3));
  c.dst = &viaItems;
  ASSERT_TRUE(fmtest::runItemsOnCpu(c));
  EXPECT_EQ(fmtest::firstDifference(viaRunner, viaItems), "");
  if (!rc.specials) {
    EXPECT_TRUE(sameBits(viaRunner, viaItems));
  }
}

// Narrow images put many rows in a chunk (rows share source rows, four at a time); wide ones with
// many taps get one row per chunk. Widths around the runner's 64-column tiles.
INSTANTIATE_TEST_SUITE_P(Shapes, GroupRunner,
                         ::testing::Values(RunnerCase{1, 9, 3, false}, RunnerCase{5, 40, 8, false},
                                           RunnerCase{63, 23, 16, false}, RunnerCase{64, 17, 1, false},
                                           RunnerCase{65, 30, 9, true}, RunnerCase{130, 19, 32, false},
                                           RunnerCase{700, 6, 32, true}, RunnerCase{97, 50, 26, true}));

TEST(GroupRunnerLaunch, PartialGridsRowLimitsAndOddWeightsMatchTheKernel) {
  const HostImage src = fmtest::randomImage(50, 40, 40, -0.5f, 1.5f, true);
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  struct Variant {
    const char* what;
    int gridW, gridH, y1;
    float weight0;  // weight of the first tap
    float shift0;   // x shift of the first tap
  } variants[] = {
      {"grid narrower than the image", 30, 40, 40, 0.25f, 0.5f},
      {"grid wider and taller than the image", 57, 45, 40, 0.25f, 0.5f},
      {"rows cut by y1", 50, 40, 23, 0.25f, 0.5f},
      {"infinite weight", 50, 40, 40, inf, 0.5f},
      {"NaN weight", 50, 40, 40, nan, 0.5f},
      {"NaN shift", 50, 40, 40, 0.25f, nan},
      {"zero weight on a source with infinities", 50, 40, 40, 0.0f, -0.75f},
  };
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.what);
    std::vector<float> taps = runnerTaps(12, 41, 50, 40);
    taps[0] = v.shift0;
    taps[2] = v.weight0;
    HostImage viaRunner = fmtest::randomImage(50, 40, 42), viaItems = viaRunner;
    KernelCall c = groupCall(FM_GROUP_TRANSLATE, taps, viaRunner, src);
    c.gridW = v.gridW;
    c.gridH = v.gridH;
    c.params.y1 = v.y1;
    ASSERT_TRUE(fmtest::runOnCpu(c, 2));
    c.dst = &viaItems;
    ASSERT_TRUE(fmtest::runItemsOnCpu(c));
    EXPECT_EQ(fmtest::firstDifference(viaRunner, viaItems), "");
  }
}

// ------------------------------------------------------ the CPU's rotation and scaling runner

// Tiles of 64 pixels taken tap by tap: widths around the tile, grids past the destination, rows
// cut by y1, centres inside, outside and NaN, square and non-square pixels, special source values.
TEST(GroupBandRunner, RotationsAndScalingsEqualTheKernelsWorkItemsBitForBit) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Variant {
    const char* what;
    int w, h, gridW, y1;
    float cx, cy, kx;
    bool specials;
  } variants[] = {
      {"narrow", 5, 21, 5, 21, 2.0f, 9.5f, 1.0f, false},
      {"one tile", 64, 13, 64, 13, 30.0f, 6.0f, 1.7f, false},
      {"tile and a bit, non-square", 65, 17, 65, 17, 10.0f, 3.0f, 0.6f, true},
      {"grid past the destination, rows cut by y1", 130, 19, 141, 11, 64.5f, 9.5f, 1.0f, false},
      {"centre far outside", 97, 12, 97, 12, -400.0f, 900.0f, 1.3f, true},
      {"NaN centre", 40, 9, 40, 9, nan, 4.0f, 1.0f, false},
  };
  for (const Variant& v : variants) {
    for (int mode : {FM_GROUP_ROTATE, FM_GROUP_SCALE}) {
      SCOPED_TRACE(std::string(v.what) + ", " + modeName(mode));
      const int sw = v.w + 3, sh = v.h + 2;
      const HostImage src = v.specials ? fmtest::randomImage(sw, sh, 51, -0.5f, 1.5f, true, sw + 1)
                                       : mixedImage(sw, sh, 51, sw + 1);
      HostImage viaRunner = fmtest::randomImage(v.w, v.h, 52), viaItems = viaRunner;
      KernelCall c = groupCall(mode, randomTaps(mode, 23, 53, sw, sh), viaRunner, src);
      c.gridW = v.gridW;
      c.params.y1 = v.y1;
      c.params.cx = v.cx;
      c.params.cy = v.cy;
      c.params.kx = v.kx;
      ASSERT_TRUE(fmtest::runOnCpu(c, 3));
      c.dst = &viaItems;
      ASSERT_TRUE(fmtest::runItemsOnCpu(c));
      EXPECT_EQ(fmtest::firstDifference(viaRunner, viaItems), "");
      if (!v.specials) {
        EXPECT_TRUE(sameBits(viaRunner, viaItems));
      }
    }
  }
}

}  // namespace
