// Whole tracked renders of a textured square moving over a still background: the vector image
// decodes to the true motion in every encoding, the blur smears the square by the shutter's
// length and leaves the background sharp; held frames and scene cuts lose their flow.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "engine/ThreadParallel.h"
#include "tests/support/FlowFrames.h"
#include "tests/support/TestBackends.h"
#include "tests/support/TrackedSequence.h"

namespace {

using fmtest::HostImage;
using fmtest::SquareSequence;

constexpr int kW = 96, kH = 64;

const SquareSequence& sequence() {
  static const SquareSequence s = fmtest::squareSequence(kW, kH, 36, 20, 24, 8.0, 0.0, 5);
  return s;
}

int count(const std::vector<int>& kernels, int k) { return int(std::count(kernels.begin(), kernels.end(), k)); }

// Median decoded motion inside the square (away from its border) and on the far background.
struct VectorStats {
  double squareU = 0, squareV = 0, backMaxLen = 0;
};

VectorStats vectorStats(const HostImage& out, int bitDepth, double range) {
  const SquareSequence& s = sequence();
  std::vector<double> us, vs;
  VectorStats st;
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      double u, v;
      fmtest::decodeVector(out.at(x, y), bitDepth, range, u, v);
      if (s.inSquare(x, y, 4)) {
        us.push_back(u);
        vs.push_back(v);
      }
      const bool far = x < s.x0 - 16 || x >= s.x0 + s.side + 24 || y < s.y0 - 12 || y >= s.y0 + s.side + 12;
      if (far && x > 4 && y > 4 && x < kW - 4 && y < kH - 4) st.backMaxLen = std::max(st.backMaxLen, std::hypot(u, v));
    }
  std::nth_element(us.begin(), us.begin() + us.size() / 2, us.end());
  std::nth_element(vs.begin(), vs.begin() + vs.size() / 2, vs.end());
  st.squareU = us[us.size() / 2];
  st.squareV = vs[vs.size() / 2];
  return st;
}

TEST(TrackedMotion, VectorsDecodeToTheTrueMotionInEveryEncoding) {
  fm::ThreadParallel par(2);
  fmtest::CountingBackend be(&par);
  const SquareSequence& s = sequence();
  for (int depth : {8, 16, 32}) {
    RenderSettings st = fmtest::trackedSettings(2);
    st.bitDepth = depth;
    st.maxDisplacement = 16;
    const fmtest::TrackedRun r = fmtest::runTracked(be, st, s.current, &s.previous, &s.next, {0, 0, kW, kH});
    ASSERT_TRUE(r.ok) << r.message;
    const VectorStats v = vectorStats(r.out, depth, 16.0);
    EXPECT_NEAR(v.squareU, 8.0, 0.5) << depth;
    EXPECT_NEAR(v.squareV, 0.0, 0.5) << depth;
    EXPECT_LT(v.backMaxLen, 0.5) << depth;
    EXPECT_EQ(r.out.at(10, 10).a, 1.0f);
  }
  EXPECT_EQ(be.liveImages, 0);
}

// Mean |difference| of the red channel around the square between the render and the exact
// motion blur of the sequence over a shutter of `amount` frames: the average over the shutter of
// the square at its moved place over the background (seen in the next frame left of the square's
// later place, in the previous frame right of its earlier place).
double shutterError(const HostImage& out, double amount) {
  const SquareSequence& s = sequence();
  double e = 0;
  int n = 0;
  for (int y = s.y0 + 3; y < s.y0 + s.side - 3; ++y)
    for (int x = s.x0 - 8; x < s.x0 + s.side + 8; ++x) {
      const double bg = x < s.x0 + 8 ? s.next.at(x, y).r : s.previous.at(x, y).r;
      double ideal = 0;
      for (int k = 0; k < 64; ++k) {
        const double X = x - s.dx * amount * (((k + 0.5) / 64.0) - 0.5);
        if (X >= s.x0 && X < s.x0 + s.side) {
          const int x0 = std::min(int(std::floor(X)), s.x0 + s.side - 2);
          const double a = std::min(X - x0, 1.0);
          ideal += (1 - a) * s.current.at(x0, y).r + a * s.current.at(x0 + 1, y).r;
        } else {
          ideal += bg;
        }
      }
      e += std::fabs(out.at(x, y).r - ideal / 64.0);
      ++n;
    }
  return e / n;
}

TEST(TrackedMotion, BlurSmearsTheSquareByTheShutterLengthAndKeepsTheBackgroundSharp) {
  fm::ThreadParallel par(2);
  fmtest::CountingBackend be(&par);
  const SquareSequence& s = sequence();
  for (double amount : {0.5, 1.0}) {
    const fmtest::TrackedRun r =
        fmtest::runTracked(be, fmtest::trackedSettings(1, amount), s.current, &s.previous, &s.next, {0, 0, kW, kH});
    ASSERT_TRUE(r.ok) << r.message;
    const double right = shutterError(r.out, amount), shorter = shutterError(r.out, amount * 0.5),
                 longer = shutterError(r.out, amount * 2.0), none = shutterError(r.out, 0.0);
    EXPECT_LT(right, 0.85 * shorter) << amount << " " << right << " " << shorter;
    EXPECT_LT(right, 0.85 * longer) << amount << " " << right << " " << longer;
    EXPECT_LT(right, 0.5 * none) << amount << " " << right << " " << none;
    // Away from the square the background keeps its detail.
    double worst = 0, sum = 0;
    int n = 0;
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        const double d = std::fabs(r.out.at(x, y).r - s.current.at(x, y).r);
        if (x < s.x0 - 16 || x >= s.x0 + s.side + 16 || y < s.y0 - 12 || y >= s.y0 + s.side + 12) {
          worst = std::max(worst, d);
          sum += d;
          ++n;
        }
      }
    EXPECT_LT(worst, 0.05) << amount;
    EXPECT_LT(sum / n, 0.005) << amount;
  }
  EXPECT_EQ(be.liveImages, 0);
}

TEST(TrackedMotion, HeldPreviousFrameAndCutNextFrameLoseTheirFlow) {
  fm::ThreadParallel par(2);
  fmtest::CountingBackend be(&par);
  const SquareSequence& s = sequence();
  RenderSettings st = fmtest::trackedSettings(2);
  st.maxDisplacement = 16;
  // Held: the previous frame repeats the current one; only the forward flow reaches full size.
  fmtest::TrackedRun r = fmtest::runTracked(be, st, s.current, &s.current, &s.next, {0, 0, kW, kH});
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_EQ(count(be.kernels, FM_K_FLOW_UP), 1);
  EXPECT_EQ(count(be.kernels, FM_K_FLOW_STATS), 2);
  EXPECT_NEAR(vectorStats(r.out, 32, 16).squareU, 8.0, 0.5);
  // Cut: the next frame shows another scene; the backward flow alone carries the motion.
  be.kernels.clear();
  const HostImage other = fmtest::sceneFrame(kW, kH, 77, false);
  r = fmtest::runTracked(be, st, s.current, &s.previous, &other, {0, 0, kW, kH});
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_EQ(count(be.kernels, FM_K_FLOW_UP), 1);
  const VectorStats v = vectorStats(r.out, 32, 16);
  EXPECT_NEAR(v.squareU, 8.0, 0.5);
  EXPECT_LT(v.backMaxLen, 0.5);
  // Both neighbours good: both flows are used.
  be.kernels.clear();
  r = fmtest::runTracked(be, st, s.current, &s.previous, &s.next, {0, 0, kW, kH});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(count(be.kernels, FM_K_FLOW_UP), 2);
  EXPECT_EQ(be.liveImages, 0);
}

}  // namespace
