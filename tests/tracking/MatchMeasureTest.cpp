// The match measure: a repeated frame is held, a scene cut correlates poorly, a flat frame
// cannot be judged; the row pooling equals the correlation of all pixels at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "engine/cpu/CpuBackend.h"
#include "engine/ThreadParallel.h"
#include "tests/support/FlowFrames.h"
#include "tests/support/TestBackends.h"
#include "tracking/MatchMeasure.h"

namespace {

using fmtest::HostImage;

struct MatchMeasure : ::testing::Test {
  fm::ThreadParallel par{2};
  fm::CpuBackend be{&par, nullptr, nullptr};
  fmtest::TrackResult track(const HostImage& a, const HostImage& b) {
    // 96 x 64 at motion sensitivity 70: a quarter of 70 % of the larger side.
    const fmtest::TrackResult r = fmtest::trackPair(be, a, b, 1, 16.8f);
    EXPECT_TRUE(r.ok);
    return r;
  }
};

TEST_F(MatchMeasure, IdenticalNeighbourIsHeld) {
  const HostImage a = fmtest::textureFrame(96, 64, 5);
  const fmtest::TrackResult r = track(a, a);
  EXPECT_TRUE(r.held);
  EXPECT_TRUE(r.correlationValid);
  EXPECT_GT(r.correlation, 0.999);
}

TEST_F(MatchMeasure, MovedNeighbourMatchesWellAndIsNotHeld) {
  const fmtest::FlowPair pr = fmtest::translatedPair(96, 64, 2.5, -1.5, 6);
  const fmtest::TrackResult r = track(pr.current, pr.other);
  EXPECT_FALSE(r.held);
  ASSERT_TRUE(r.correlationValid);
  EXPECT_GT(r.correlation, 0.95);
}

TEST_F(MatchMeasure, SceneCutCorrelatesPoorly) {
  // Two scenes of different layout (brightness ramps across and down, different textures):
  // even the flow's freedom to rearrange cannot make them match.
  for (uint32_t seed : {7u, 20u, 33u}) {
    const fmtest::TrackResult r =
        track(fmtest::sceneFrame(96, 64, seed, true), fmtest::sceneFrame(96, 64, seed + 1, false));
    EXPECT_FALSE(r.held);
    ASSERT_TRUE(r.correlationValid);
    EXPECT_LT(r.correlation, 0.5) << seed;
  }
  // The same scene moving is no cut.
  const HostImage scene = fmtest::sceneFrame(96, 64, 7, true);
  HostImage moved(96, 64);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 96; ++x) moved.at(x, y) = scene.at(std::max(x - 3, 0), y);
  EXPECT_GT(track(scene, moved).correlation, 0.95);
}

TEST_F(MatchMeasure, FlatFrameGivesNoCorrelation) {
  HostImage flat(96, 64);
  flat.fill({0.3f, 0.3f, 0.3f, 1.0f});
  EXPECT_FALSE(track(flat, fmtest::textureFrame(96, 64, 9)).correlationValid);
  EXPECT_FALSE(track(fmtest::textureFrame(96, 64, 9), flat).correlationValid);
}

// Rows of fm_flow_stats built from per-row data, as the kernel would.
std::vector<float> rowsOf(const std::vector<std::vector<std::pair<double, double>>>& rows, int pitch) {
  std::vector<float> s(rows.size() * pitch * 4, 0.0f);
  for (size_t y = 0; y < rows.size(); ++y) {
    double m0 = 0, m1 = 0;
    for (auto& v : rows[y]) m0 += v.first, m1 += v.second;
    const double n = double(rows[y].size());
    if (n > 0) m0 /= n, m1 /= n;
    double c00 = 0, c11 = 0, c01 = 0;
    for (auto& v : rows[y]) {
      c00 += (v.first - m0) * (v.first - m0);
      c11 += (v.second - m1) * (v.second - m1);
      c01 += (v.first - m0) * (v.second - m1);
    }
    float* c = &s[y * pitch * 4];
    c[0] = float(m0), c[1] = float(m1), c[2] = float(n), c[3] = 0;
    c[4] = float(c00), c[5] = float(c11), c[6] = float(c01), c[7] = 0;
  }
  return s;
}

TEST(MatchPooling, EqualsTheCorrelationOfAllPixels) {
  std::mt19937 rng(3);
  std::normal_distribution<double> g(0.0, 1.0);
  std::vector<std::vector<std::pair<double, double>>> rows(9);
  double sx = 0, sy = 0, n = 0;
  for (size_t y = 0; y < rows.size(); ++y)
    for (int i = 0; i < int(y * 3 % 7); ++i) {
      // Rows with different means: pooling must add their spread between rows.
      const double a = 0.1 * g(rng) + 0.05 * y, b = 0.6 * a + 0.08 * g(rng) - 0.02 * y;
      rows[y].push_back({a, b});
      sx += a, sy += b, n += 1;
    }
  double cxx = 0, cyy = 0, cxy = 0;
  for (auto& r : rows)
    for (auto& v : r) {
      cxx += (v.first - sx / n) * (v.first - sx / n);
      cyy += (v.second - sy / n) * (v.second - sy / n);
      cxy += (v.first - sx / n) * (v.second - sy / n);
    }
  const std::vector<float> s = rowsOf(rows, 4);
  const fm::MatchMeasure m = fm::poolMatchStatistics(s.data(), int(rows.size()), 4);
  ASSERT_TRUE(m.correlationValid);
  EXPECT_NEAR(m.correlation, cxy / std::sqrt(cxx * cyy), 1e-5);
  EXPECT_TRUE(m.held);  // no still difference recorded
}

TEST(MatchPooling, TooFewPixelsOrNoRowsJudgeNothing) {
  const fm::MatchMeasure none = fm::poolMatchStatistics(nullptr, 0, 2);
  EXPECT_TRUE(none.held);
  EXPECT_FALSE(none.correlationValid);
  std::vector<std::vector<std::pair<double, double>>> rows(1);
  for (int i = 0; i < 15; ++i) rows[0].push_back({0.1 * i, 0.05 * i * i});
  std::vector<float> s = rowsOf(rows, 2);
  EXPECT_FALSE(fm::poolMatchStatistics(s.data(), 1, 2).correlationValid);
  rows[0].push_back({1.6, 0.3});
  s = rowsOf(rows, 2);
  EXPECT_TRUE(fm::poolMatchStatistics(s.data(), 1, 2).correlationValid);
  // A still difference above the limit, or NaN, is not held.
  s[7] = 2e-5f;
  EXPECT_FALSE(fm::poolMatchStatistics(s.data(), 1, 2).held);
  s[7] = std::nanf("");
  EXPECT_FALSE(fm::poolMatchStatistics(s.data(), 1, 2).held);
  // Of several still rows, any one with a NaN makes the frame not held, whatever the rows after it.
  rows.assign(3, rows[0]);
  for (int nanRow = 0; nanRow < 3; ++nanRow) {
    s = rowsOf(rows, 2);
    EXPECT_TRUE(fm::poolMatchStatistics(s.data(), 3, 2).held);
    s[nanRow * 8 + 7] = std::nanf("");
    EXPECT_FALSE(fm::poolMatchStatistics(s.data(), 3, 2).held) << nanRow;
    s[((nanRow + 1) % 3) * 8 + 7] = 2e-6f;
    EXPECT_FALSE(fm::poolMatchStatistics(s.data(), 3, 2).held) << nanRow;
  }
}

TEST(MatchPooling, FailuresLeaveNotHeldAndNoCorrelation) {
  fm::ThreadParallel par(1);
  fmtest::CountingBackend be(&par);
  fm::ScratchPool pool(be);
  fm::Buffer* flow = pool.take(8, 6);
  fm::Buffer* tmpl = pool.take(8, 6);
  for (int fail : {1, 2}) {
    (fail == 1 ? be.failAlloc : be.failLaunch) = fail == 1 ? be.allocCalls + 1 : be.launchCalls + 1;
    const fm::MatchMeasure m = fm::measureMatch(be, pool, *flow, *tmpl);
    EXPECT_FALSE(m.held);
    EXPECT_FALSE(m.correlationValid);
    EXPECT_EQ(pool.held(), 2u);
  }
  fm::Buffer* other = pool.take(9, 6);
  EXPECT_FALSE(fm::measureMatch(be, pool, *flow, *other).held);  // sizes disagree
}

}  // namespace
