// The estimation as a sequence of launches: what each level runs and releases, the patch
// stage's brightness model, every failure path without leaks, aborts, and bad input (tiny
// levels, non-finite and transparent frames, neighbours far larger or smaller than the
// current rectangle) giving finite flow with bounded work.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/ThreadParallel.h"
#include "engine/cpu/CpuBackend.h"
#include "tests/support/FlowFrames.h"
#include "tests/support/TestBackends.h"
#include "tracking/EstimateFlow.h"
#include "tracking/FeaturePyramid.h"
#include "tracking/PatchFlow.h"

namespace {

using fmtest::HostImage;

HostImage download(fm::Backend& be, const fm::Buffer& b) {
  HostImage im(b.width, b.height, b.pitch);
  EXPECT_TRUE(be.download(b, im.data()));
  return im;
}

// Both pyramids of a pair, built over the current frame's rectangle.
struct Pyramids {
  fm::FeaturePyramid a, b;
  fm::PyramidRange range;
  bool ok = false;
  Pyramids(fm::Backend& be, fm::ScratchPool& pool, const HostImage& cur, const HostImage& other, float maxFlow,
           int detail = 1) {
    const fm::Buffer cb = cur.buffer(), ob = other.buffer();
    const fm::Rect rect{0, 0, cur.width(), cur.height()};
    range = fm::choosePyramidRange(cur.width(), cur.height(), detail, maxFlow);
    ok = fm::buildFeaturePyramid(be, pool, {&cb, rect}, rect, range.coarsest, a) &&
         fm::buildFeaturePyramid(be, pool, {&ob, {0, 0, other.width(), other.height()}}, rect, range.coarsest, b);
  }
};

TEST(FlowEstimation, EachLevelRunsPatchAndRefinementAndKeepsOnlyTheResult) {
  fm::ThreadParallel par(2);
  fmtest::CountingBackend be(&par);
  const fmtest::FlowPair pr = fmtest::translatedPair(64, 48, 3.0, 1.0);
  fm::ScratchPool pool(be);
  Pyramids pyr(be, pool, pr.current, pr.other, 12.0f);
  ASSERT_TRUE(pyr.ok);
  ASSERT_EQ(pyr.range.coarsest, 2);
  be.kernels.clear();
  fm::Buffer* flow = nullptr;
  fm::Buffer* tmpl = nullptr;
  ASSERT_TRUE(fm::estimateFlow(be, pool, pyr.a, pyr.b, pyr.range, flow, tmpl));
  const std::vector<int> level = {FM_K_TMPL,      FM_K_PATCH_INIT,  FM_K_PATCH_SEARCH, FM_K_DENSIFY,
                                  FM_K_FLOW_WARP, FM_K_FLOW_EDGES,  FM_K_FLOW_REFINE,  FM_K_FLOW_REFINE,
                                  FM_K_FLOW_REFINE, FM_K_FLOW_REFINE};
  std::vector<int> want;
  for (int L = 0; L < 3; ++L) want.insert(want.end(), level.begin(), level.end());
  EXPECT_EQ(be.kernels, want);
  ASSERT_NE(flow, nullptr);
  ASSERT_NE(tmpl, nullptr);
  EXPECT_EQ(flow->width, 64);
  EXPECT_EQ(tmpl->height, 48);
  // Two pyramids of three levels, the flow and the template: every other image went back.
  EXPECT_EQ(pool.held(), 8u);
  const HostImage f = download(be, *flow);
  EXPECT_NEAR(f.at(30, 20).r, 3.0f, 0.1f);
  EXPECT_NEAR(f.at(30, 20).g, 1.0f, 0.1f);
  EXPECT_GT(f.at(30, 20).b, 0.5f);  // confidence
  EXPECT_LE(f.at(30, 20).b, 1.0f);
}

TEST(FlowEstimation, PatchStageAbsorbsABrightnessChangeInGainAndOffset) {
  fm::ThreadParallel par(2);
  fmtest::CountingBackend be(&par);
  // Other = 0.8 x current + 0.1 in colour; features add 0.5 for opaque alpha, so
  // Z0 = 1.25 Z1 - 0.25 with no motion.
  const fmtest::FlowPair pr = fmtest::brightnessPair(48, 40, 0.8, 0.1);
  fm::ScratchPool pool(be);
  Pyramids pyr(be, pool, pr.current, pr.other, 0.0f);
  ASSERT_TRUE(pyr.ok);
  fm::FlowLevel lv;
  ASSERT_TRUE(fm::runPatchStage(be, pool, *pyr.a[0], *pyr.b[0], nullptr, 0, pyr.range, lv));
  const HostImage d = download(be, *lv.flow);
  for (int y = 4; y < 36; y += 5)
    for (int x = 4; x < 44; x += 5) {
      EXPECT_EQ(d.at(x, y).r, 0.0f);  // the limit is 0 here
      EXPECT_NEAR(d.at(x, y).b, 1.25f, 0.02f) << x << "," << y;
      EXPECT_NEAR(d.at(x, y).a, -0.25f, 0.02f) << x << "," << y;
    }
  EXPECT_EQ(fm::patchSize(5, 20), 5);
  EXPECT_EQ(fm::patchCount(5, 5), 1);
  EXPECT_EQ(fm::patchCount(20, 5), 5);
}

TEST(FlowEstimation, RefusesInvertedRangesAndMissingLevels) {
  fm::ThreadParallel par(1);
  fmtest::CountingBackend be(&par);
  const fmtest::FlowPair pr = fmtest::translatedPair(32, 32, 1.0, 0.0);
  fm::ScratchPool pool(be);
  Pyramids pyr(be, pool, pr.current, pr.other, 8.0f);
  ASSERT_TRUE(pyr.ok);
  fm::Buffer* flow = reinterpret_cast<fm::Buffer*>(1);
  fm::Buffer* tmpl = reinterpret_cast<fm::Buffer*>(1);
  fm::PyramidRange bad = pyr.range;
  bad.finest = bad.coarsest + 1;
  EXPECT_FALSE(fm::estimateFlow(be, pool, pyr.a, pyr.b, bad, flow, tmpl));
  EXPECT_EQ(flow, nullptr);
  EXPECT_EQ(tmpl, nullptr);
  bad = pyr.range;
  bad.coarsest = int(pyr.a.size());
  EXPECT_FALSE(fm::estimateFlow(be, pool, pyr.a, pyr.b, bad, flow, tmpl));
  fm::FeaturePyramid shorter(pyr.b.begin(), pyr.b.end() - 1);
  EXPECT_FALSE(fm::estimateFlow(be, pool, pyr.a, shorter, pyr.range, flow, tmpl));
}

TEST(FlowEstimation, EveryFailureReturnsFalseAndLeaksNothing) {
  fm::ThreadParallel par(1);
  const fmtest::FlowPair pr = fmtest::translatedPair(40, 32, 2.0, 1.0);
  int allocs = 0, launches = 0;
  {
    fmtest::CountingBackend be(&par);
    fm::ScratchPool pool(be);
    Pyramids pyr(be, pool, pr.current, pr.other, 10.0f);
    fm::Buffer *flow, *tmpl;
    ASSERT_TRUE(pyr.ok && fm::estimateFlow(be, pool, pyr.a, pyr.b, pyr.range, flow, tmpl));
    allocs = be.allocCalls;
    launches = be.launchCalls;
  }
  for (int k = 1; k <= allocs + launches; ++k) {
    fmtest::CountingBackend be(&par);
    if (k <= allocs) be.failAlloc = k;
    else be.failLaunch = k - allocs;
    {
      fm::ScratchPool pool(be);
      Pyramids pyr(be, pool, pr.current, pr.other, 10.0f);
      fm::Buffer *flow = nullptr, *tmpl = nullptr;
      const bool ok = pyr.ok && fm::estimateFlow(be, pool, pyr.a, pyr.b, pyr.range, flow, tmpl);
      EXPECT_FALSE(ok) << k;
      EXPECT_EQ(flow, nullptr) << k;
    }
    EXPECT_EQ(be.liveImages, 0) << k;
  }
}

bool abortAfter(void* ctx) { return --*static_cast<int*>(ctx) < 0; }

TEST(FlowEstimation, AbortStopsBetweenLevels) {
  fm::ThreadParallel par(1);
  const fmtest::FlowPair pr = fmtest::translatedPair(64, 48, 2.0, 1.0);
  for (int chunks : {5, 60}) {
    int left = 1 << 30;
    fmtest::CountingBackend be(&par, &abortAfter, &left);
    fm::ScratchPool pool(be);
    Pyramids pyr(be, pool, pr.current, pr.other, 12.0f);
    ASSERT_TRUE(pyr.ok);
    left = chunks;
    fm::Buffer *flow = nullptr, *tmpl = nullptr;
    EXPECT_FALSE(fm::estimateFlow(be, pool, pyr.a, pyr.b, pyr.range, flow, tmpl));
    EXPECT_EQ(flow, nullptr);
    EXPECT_TRUE(be.wasAborted());
  }
}

// The CPU backend sweeps each level's refinement steps as one chain; the wrapper above takes them
// one by one. The flow and template are the same to the bit, for pairs tall enough to be cut into
// several bands and small enough to be one.
TEST(FlowEstimation, SweptRefinementGivesTheFlowOfItsStepsOneByOne) {
  fm::ThreadParallel par(3);
  for (const fmtest::FlowPair& pr : {fmtest::rotatedPair(203, 157, 2.0, 5), fmtest::translatedPair(37, 9, 1.5, -0.5)}) {
    std::vector<HostImage> results[2];
    for (int swept = 0; swept < 2; ++swept) {
      fmtest::CountingBackend counting(&par);
      fm::CpuBackend direct(&par, nullptr, nullptr);
      fm::Backend& be = swept ? static_cast<fm::Backend&>(direct) : counting;
      fm::ScratchPool pool(be);
      Pyramids pyr(be, pool, pr.current, pr.other, 12.0f);
      fm::Buffer *flow = nullptr, *tmpl = nullptr;
      ASSERT_TRUE(pyr.ok && fm::estimateFlow(be, pool, pyr.a, pyr.b, pyr.range, flow, tmpl));
      results[swept] = {download(be, *flow), download(be, *tmpl)};
    }
    EXPECT_EQ(fmtest::firstDifference(results[1][0], results[0][0]), "") << pr.current.width();
    EXPECT_EQ(fmtest::firstDifference(results[1][1], results[0][1]), "") << pr.current.width();
  }
}

// ------------------------------------------------------------------ bad input

struct FlowBadInput : ::testing::Test {
  fm::ThreadParallel par{2};
  fmtest::CountingBackend be{&par};

  fmtest::TrackResult track(const HostImage& cur, const HostImage& other, float maxFlow,
                            const fm::Rect* otherRect = nullptr) {
    const fmtest::TrackResult r = fmtest::trackPair(be, cur, other, 1, maxFlow, otherRect);
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(fmtest::allFinite(r.flow));
    EXPECT_EQ(be.liveImages, 0);
    // Two pyramids of at most 13 levels, ten launches per level, statistics and enlargement.
    EXPECT_LE(be.launchCalls, 2 * 13 + 10 * 13 + 2);
    return r;
  }
};

TEST_F(FlowBadInput, TinyFramesTrack) {
  for (const auto& size : std::vector<std::pair<int, int>>{{1, 1}, {5, 3}, {3, 17}, {2, 1}}) {
    const HostImage a = fmtest::textureFrame(size.first, size.second, 1);
    const HostImage b = fmtest::textureFrame(size.first, size.second, 2);
    be.launchCalls = 0;
    const fmtest::TrackResult r = track(a, b, 100.0f);
    for (int y = 0; y < size.second; ++y)
      for (int x = 0; x < size.first; ++x)
        EXPECT_LE(std::hypot(r.flow.at(x, y).r, r.flow.at(x, y).g), 100.0f);
  }
}

TEST_F(FlowBadInput, NonFiniteAndTransparentFramesGiveFiniteFlow) {
  const HostImage wild = fmtest::randomImage(40, 30, 51, -2.0f, 5.0f, true);
  const HostImage tex = fmtest::textureFrame(40, 30, 3);
  track(wild, tex, 10.0f);
  be.launchCalls = 0;
  track(tex, wild, 10.0f);
  HostImage clear(40, 30);
  be.launchCalls = 0;
  const fmtest::TrackResult r = track(clear, clear, 10.0f);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) {
      EXPECT_EQ(r.flow.at(x, y).r, 0.0f);
      EXPECT_EQ(r.flow.at(x, y).g, 0.0f);
    }
  EXPECT_TRUE(r.held);
  be.launchCalls = 0;
  track(clear, tex, 10.0f);
}

TEST_F(FlowBadInput, NeighbourFarLargerOrSmallerThanTheCurrentRectangle) {
  const HostImage cur = fmtest::textureFrame(48, 32, 4);
  const HostImage huge = fmtest::textureFrame(400, 300, 4);
  const fm::Rect hugeRect{-150, -130, 250, 170};
  track(cur, huge, 12.0f, &hugeRect);
  const HostImage tiny = fmtest::textureFrame(3, 2, 4);
  const fm::Rect tinyRect{20, 15, 23, 17};
  be.launchCalls = 0;
  track(cur, tiny, 12.0f, &tinyRect);
  const fm::Rect farRect{2000000000, -2000000000, 2000000003, -1999999998};
  be.launchCalls = 0;
  const fmtest::TrackResult r = track(cur, tiny, 12.0f, &farRect);
  EXPECT_FALSE(r.held);
}

}  // namespace
