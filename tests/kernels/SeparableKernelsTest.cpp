// The 1D pass kernels: exact box weights, CPU equal to OpenCL, and the CPU's whole-row and
// column-strip runners equal to the kernels' own work items.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/support/KernelRun.h"

namespace {

using fmtest::HostImage;
using fmtest::KernelCall;

// Random colour in [-0.5, 1.5) with every seventh pixel fully transparent.
HostImage mixedImage(int w, int h, uint32_t seed, int pitch = 0) {
  HostImage im = fmtest::randomImage(w, h, seed, -0.5f, 1.5f, false, pitch);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      if ((x * 3 + y * 5) % 7 == 0) im.at(x, y) = fmtest::Px{};
  return im;
}

struct BoxCase {
  bool rows;
  int n;
  float frac;
  int mode;
  int segLen;  // 0: the whole row or column
};

void PrintTo(const BoxCase& b, std::ostream* os) {
  *os << (b.rows ? "rows" : "columns") << ", n " << b.n << ", frac " << b.frac << ", edge " << b.mode
      << ", segments " << b.segLen;
}

KernelCall boxCall(const BoxCase& b, HostImage& dst, const HostImage& src) {
  KernelCall c;
  c.kernel = b.rows ? FM_K_BOX_ROWS : FM_K_BOX_COLS;
  c.dst = &dst;
  c.srcA = &src;
  c.params = fmtest::blockFor(&dst, &src, nullptr);
  c.params.n = b.n;
  c.params.frac = b.frac;
  c.params.mode = b.mode;
  const int L = b.rows ? dst.width() : dst.height();
  c.params.segLen = b.segLen > 0 ? b.segLen : L;
  c.params.lo = 3;
  c.params.hi = L - 5;
  const int segments = (L + c.params.segLen - 1) / c.params.segLen;
  if (b.rows) {
    c.gridW = segments;
    c.gridH = dst.height();
  } else {
    c.params.y1 = segments;
    c.gridW = dst.width();
    c.gridH = segments;
  }
  c.cost = 4.0 * c.params.segLen + 2 * b.n + 1;
  return c;
}

TEST(BoxKernel, HalfPixelRadiusWeighsQuarterHalfQuarter) {
  HostImage src(5, 1), dst(5, 1);
  for (int x = 0; x < 5; ++x) src.at(x, 0) = {float(x == 2) * 4, 0, 0, 1};
  KernelCall c = boxCall({true, 0, 0.5f, FM_EDGE_ZERO, 0}, dst, src);
  ASSERT_TRUE(fmtest::runOnCpu(c));
  EXPECT_FLOAT_EQ(dst.at(1, 0).r, 1.0f);
  EXPECT_FLOAT_EQ(dst.at(2, 0).r, 2.0f);
  EXPECT_FLOAT_EQ(dst.at(3, 0).r, 1.0f);
  EXPECT_FLOAT_EQ(dst.at(0, 0).r, 0.0f);
  // Alpha 1 everywhere, zero outside: the first pixel loses the outer quarter.
  EXPECT_FLOAT_EQ(dst.at(0, 0).a, 0.75f);
}

TEST(BoxKernel, InsideModeAveragesOnlyValidTaps) {
  HostImage src(12, 1), dst(12, 1);
  for (int x = 0; x < 12; ++x) src.at(x, 0) = {float(x), 1, 0, 1};
  KernelCall c = boxCall({true, 2, 0.0f, FM_EDGE_INSIDE, 0}, dst, src);
  c.params.lo = 4;
  c.params.hi = 9;  // valid pixels 4..8
  ASSERT_TRUE(fmtest::runOnCpu(c));
  EXPECT_FLOAT_EQ(dst.at(6, 0).r, 6.0f);             // window 4..8: all inside
  EXPECT_FLOAT_EQ(dst.at(4, 0).r, (4 + 5 + 6) / 3.f);  // window 2..6: three inside
  EXPECT_FLOAT_EQ(dst.at(3, 0).r, (4 + 5) / 2.f);      // just outside: average of what it covers
  EXPECT_FLOAT_EQ(dst.at(10, 0).r, 8.0f);
  EXPECT_FLOAT_EQ(dst.at(1, 0).a, 0.0f);               // no valid tap in reach: transparent
  EXPECT_FLOAT_EQ(dst.at(11, 0).a, 0.0f);
  EXPECT_FLOAT_EQ(dst.at(4, 0).a, 1.0f);
}

// A box far wider than the row covers all of it from every position: the plain mean over the
// valid pixels with "inside", and the row's sum over the whole weight with zeros outside.
TEST(BoxKernel, RadiusFarBeyondTheRowCoversTheWholeRow) {
  const int n = 400000000;
  for (bool rows : {true, false})
    for (int mode : {FM_EDGE_ZERO, FM_EDGE_INSIDE}) {
      const int L = 37, across = 3;  // length of a row (or column), and how many
      HostImage src = fmtest::randomImage(rows ? L : across, rows ? across : L, 21, 0.0f, 1.0f);
      HostImage dst(src.width(), src.height());
      KernelCall c = boxCall({rows, n, 0.5f, mode, 0}, dst, src);
      ASSERT_TRUE(fmtest::runOnCpu(c, 2));
      for (int j = 0; j < across; ++j) {
        double sum = 0.0, valid = 0.0;
        for (int i = 0; i < L; ++i)
          if (mode == FM_EDGE_ZERO || (i >= c.params.lo && i < c.params.hi)) {
            sum += (rows ? src.at(i, j) : src.at(j, i)).g;
            valid += 1;
          }
        const double expected = mode == FM_EDGE_ZERO ? sum / (2.0 * n + 2.0) : sum / valid;
        for (int i : {0, 18, 36})
          EXPECT_NEAR((rows ? dst.at(i, j) : dst.at(j, i)).g, expected, 1e-5 * expected)
              << rows << " " << mode << " " << i;
      }
    }
}

class BoxTargets : public ::testing::TestWithParam<BoxCase> {};

TEST_P(BoxTargets, CpuEqualsOpencl) {
  HostImage src = mixedImage(61, 43, 7, 64);
  HostImage dst = fmtest::randomImage(61, 43, 8, 0, 1, false, 61);
  const KernelCall c = boxCall(GetParam(), dst, src);
  // Same operations in the same order; only contraction into fused multiply-adds may differ.
  EXPECT_EQ(fmtest::compareTargets(c, 2e-6f, 2e-6f), "");
}

TEST_P(BoxTargets, CpuRunnerEqualsWorkItemsExactly) {
  HostImage src = fmtest::randomImage(131, 37, 9, -0.5f, 1.5f, true, 132);
  HostImage viaRunner = fmtest::randomImage(131, 37, 10);
  HostImage viaItems = viaRunner;
  KernelCall c = boxCall(GetParam(), viaRunner, src);
  ASSERT_TRUE(fmtest::runOnCpu(c, 3));
  c.dst = &viaItems;
  ASSERT_TRUE(fmtest::runItemsOnCpu(c));
  EXPECT_EQ(fmtest::firstDifference(viaRunner, viaItems), "");
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, BoxTargets,
    ::testing::Values(BoxCase{true, 0, 0.0f, FM_EDGE_ZERO, 0}, BoxCase{true, 3, 0.0f, FM_EDGE_ZERO, 0},
                      BoxCase{true, 4, 0.37f, FM_EDGE_CLAMP, 0}, BoxCase{true, 12, 0.5f, FM_EDGE_INSIDE, 0},
                      BoxCase{true, 5, 0.25f, FM_EDGE_ZERO, 9}, BoxCase{true, 2, 0.8f, FM_EDGE_INSIDE, 16},
                      BoxCase{false, 0, 0.5f, FM_EDGE_ZERO, 0}, BoxCase{false, 3, 0.0f, FM_EDGE_CLAMP, 0},
                      BoxCase{false, 7, 0.61f, FM_EDGE_INSIDE, 0}, BoxCase{false, 4, 0.2f, FM_EDGE_ZERO, 11},
                      BoxCase{false, 40, 0.0f, FM_EDGE_CLAMP, 13}, BoxCase{true, 200, 0.3f, FM_EDGE_ZERO, 0},
                      BoxCase{true, 150, 0.0f, FM_EDGE_INSIDE, 16}, BoxCase{false, 90, 0.5f, FM_EDGE_INSIDE, 0},
                      // Negative radii, which no planner asks for: the items' interior weight
                      // then differs from the weight of each position.
                      BoxCase{true, -2, 0.35f, FM_EDGE_INSIDE, 0}, BoxCase{true, -3, 0.4f, FM_EDGE_ZERO, 12},
                      BoxCase{false, -2, 0.35f, FM_EDGE_INSIDE, 0}, BoxCase{false, -3, 0.45f, FM_EDGE_INSIDE, 10},
                      BoxCase{false, -3, 0.2f, FM_EDGE_CLAMP, 0}));

// Strip widths around the runner's 8..64 column strips, including a width that is not a
// multiple of any strip and a column past the source.
TEST(BoxColsRunner, StripsOfAnyWidthMatchTheKernel) {
  for (int w : {1, 5, 20, 64, 65, 130}) {
    HostImage src = mixedImage(w, 29, 20 + w);
    HostImage a(w + 2, 29), b(w + 2, 29);
    KernelCall c = boxCall({false, 3, 0.4f, FM_EDGE_INSIDE, 0}, a, src);
    ASSERT_TRUE(fmtest::runOnCpu(c, 16));
    c.dst = &b;
    ASSERT_TRUE(fmtest::runItemsOnCpu(c));
    EXPECT_EQ(fmtest::firstDifference(a, b), "") << "width " << w;
  }
}

// Normalised Gaussian taps for a direct pass.
std::vector<float> gaussTaps(int n, double sigma) {
  std::vector<float> t(size_t(2 * n + 1));
  double sum = 0;
  for (int k = -n; k <= n; ++k) sum += std::exp(-0.5 * k * k / (sigma * sigma));
  for (int k = -n; k <= n; ++k) t[size_t(k + n)] = float(std::exp(-0.5 * k * k / (sigma * sigma)) / sum);
  return t;
}

// Gaussian taps for radius n, cut to what the block's table holds; a negative n reads none.
KernelCall convCall(bool rows, int n, int mode, HostImage& dst, const HostImage& src) {
  KernelCall c;
  c.kernel = rows ? FM_K_CONV_ROWS : FM_K_CONV_COLS;
  c.dst = &dst;
  c.srcA = &src;
  c.params = fmtest::blockFor(&dst, &src, nullptr);
  c.params.n = n;
  c.params.mode = mode;
  c.params.lo = 2;
  c.params.hi = (rows ? dst.width() : dst.height()) - 4;
  const int used = std::min(std::max(n, 0), (FM_T_FLOATS - 1) / 2);
  const std::vector<float> taps = gaussTaps(used, std::max(used / 3.0, 0.5));
  for (size_t i = 0; i < taps.size(); ++i) c.params.t[i] = taps[i];
  c.gridW = dst.width();
  c.gridH = dst.height();
  return c;
}

TEST(ConvKernels, MatchAPlainConvolution) {
  HostImage src = mixedImage(40, 30, 31);
  for (bool rows : {true, false}) {
    for (int mode : {FM_EDGE_ZERO, FM_EDGE_CLAMP}) {
      HostImage dst(40, 30);
      const KernelCall c = convCall(rows, 9, mode, dst, src);
      ASSERT_TRUE(fmtest::runOnCpu(c));
      const int L = rows ? 40 : 30, lo = 2, hi = L - 4;
      for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) {
          double want = 0;
          for (int k = -9; k <= 9; ++k) {
            int i = (rows ? x : y) + k;
            if (mode == FM_EDGE_CLAMP) i = std::min(std::max(i, lo), hi - 1);
            if (i < 0 || i >= L) continue;
            want += double(rows ? src.at(i, y).g : src.at(x, i).g) * c.params.t[k + 9];
          }
          ASSERT_NEAR(dst.at(x, y).g, want, 2e-6) << rows << mode << " " << x << "," << y;
        }
    }
  }
}

TEST(ConvKernels, CpuEqualsOpencl) {
  HostImage src = mixedImage(53, 47, 41, 56);
  for (bool rows : {true, false})
    for (int mode : {FM_EDGE_ZERO, FM_EDGE_CLAMP})
      for (int n : {1, 9, 47}) {
        HostImage dst = fmtest::randomImage(50, 44, 42);
        const KernelCall c = convCall(rows, n, mode, dst, src);
        EXPECT_EQ(fmtest::compareTargets(c, 2e-6f, 2e-6f), "") << rows << " " << mode << " " << n;
      }
}

// The CPU's tiled band runners against the kernels' own work items, bit for bit: interior
// groups, the scalar remainder and the edge pixels all take part (widths around 8-pixel groups),
// and for columns several strips, partial strips, every size of the last block of taps, and
// the rows near the top and bottom, where each edge rule maps a tap to a source row or to
// nothing (a source shorter than the window too, and a valid range reaching past the image).
TEST(ConvKernels, CpuBandRunnerEqualsWorkItemsExactly) {
  struct Range {
    int srcH, lo, hiFromEnd;
  };
  for (bool rows : {true, false})
    for (int mode : {FM_EDGE_ZERO, FM_EDGE_CLAMP, FM_EDGE_INSIDE})
      for (Range r : {Range{31, 2, 4}, Range{7, 2, 1}, Range{31, -3, -5}})
        for (int n : {0, 2, 4, 5, 9})
          for (int w : {3, 19, 26, 67, 1031}) {
            if (w > 100 && n != 9 && n != 2) continue;
            if (r.srcH < 31 && (rows || w > 100)) continue;
            HostImage src = fmtest::randomImage(w, r.srcH, 50 + w, -0.5f, 1.5f, true, w + 1);
            HostImage viaBands = fmtest::randomImage(w + 3, 33, 51);
            HostImage viaItems = viaBands;
            KernelCall c = convCall(rows, n, mode, viaBands, src);
            c.params.lo = r.lo;
            c.params.hi = (rows ? viaBands.width() : viaBands.height()) - r.hiFromEnd;
            c.params.y1 = 30;
            ASSERT_TRUE(fmtest::runOnCpu(c, 2));
            c.dst = &viaItems;
            ASSERT_TRUE(fmtest::runItemsOnCpu(c));
            EXPECT_EQ(fmtest::firstDifference(viaBands, viaItems), "")
                << rows << " " << mode << " n " << n << " w " << w << " source height " << r.srcH
                << " lo " << c.params.lo << " hi " << c.params.hi;
          }
}

// Radii no planner asks for: a negative one has no taps (the items write an empty sum), and
// one past the block's table is cut as the items cut it.
TEST(ConvKernels, CpuBandRunnerEqualsWorkItemsForAnyRadius) {
  for (bool rows : {true, false})
    for (int mode : {FM_EDGE_ZERO, FM_EDGE_CLAMP, FM_EDGE_INSIDE})
      for (int n : {-1, -2, -9, 48, 5000})
        for (int w : {3, 19, 67}) {
          HostImage src = fmtest::randomImage(w, 31, 70 + w, -0.5f, 1.5f, true, w + 1);
          HostImage viaBands = fmtest::randomImage(w + 3, 33, 71);
          HostImage viaItems = viaBands;
          KernelCall c = convCall(rows, n, mode, viaBands, src);
          ASSERT_TRUE(fmtest::runOnCpu(c, 2));
          c.dst = &viaItems;
          ASSERT_TRUE(fmtest::runItemsOnCpu(c));
          EXPECT_EQ(fmtest::firstDifference(viaBands, viaItems), "")
              << rows << " " << mode << " n " << n << " w " << w;
        }
}

// A tap that reads nothing past an edge still multiplies: an infinite weight there gives NaN
// in the kernel's sum, and the band runner must agree.
TEST(ConvKernels, CpuBandRunnerKeepsNonFiniteTapsAtTheEdges) {
  for (float special : {INFINITY, NAN}) {
    HostImage src = fmtest::randomImage(40, 24, 7, -0.5f, 1.5f);
    HostImage viaBands(40, 24), viaItems(40, 24);
    KernelCall c = convCall(false, 4, FM_EDGE_ZERO, viaBands, src);
    c.params.t[0] = special;
    ASSERT_TRUE(fmtest::runOnCpu(c, 2));
    c.dst = &viaItems;
    ASSERT_TRUE(fmtest::runItemsOnCpu(c));
    EXPECT_EQ(fmtest::firstDifference(viaBands, viaItems), "") << special;
    EXPECT_TRUE(std::isnan(viaBands.at(20, 0).r)) << "row 0 reads nothing for tap 0";
  }
}

TEST(ConvKernels, TapCountBeyondTheBlockIsCut) {
  HostImage src = mixedImage(20, 4, 3), a(20, 4), b(20, 4);
  KernelCall c = convCall(true, 47, FM_EDGE_ZERO, a, src);
  ASSERT_TRUE(fmtest::runOnCpu(c));
  c.params.n = 5000;  // would read far past the 96-float table
  c.dst = &b;
  ASSERT_TRUE(fmtest::runOnCpu(c));
  EXPECT_EQ(fmtest::firstDifference(a, b), "");
}

}  // namespace
