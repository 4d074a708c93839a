// The tracked driver's cases around the pipeline: which neighbours take part, the copy and
// clear cases, repacking and placement, the neighbour rejection rules, every failure message
// without leaks, aborts, bad input, and whole renders on OpenCL against the CPU.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "engine/ThreadParallel.h"
#include "tests/support/FlowFrames.h"
#include "tests/support/KernelRun.h"
#include "tests/support/OpenCLTarget.h"
#include "tests/support/TestBackends.h"
#include "tests/support/TrackedSequence.h"
#include "tracking/MotionBlurStage.h"
#include "tracking/MotionVelocity.h"
#include "tracking/NeighbourFlow.h"

namespace {

using fmtest::HostImage;
using fmtest::SquareSequence;

constexpr int kW = 64, kH = 48;

const SquareSequence& sequence() {
  static const SquareSequence s = fmtest::squareSequence(kW, kH, 20, 12, 20, 6.0, 2.0, 9);
  return s;
}

int count(const std::vector<int>& kernels, int k) { return int(std::count(kernels.begin(), kernels.end(), k)); }

// ------------------------------------------------------------------ neighbour rules

fm::NeighbourFlow measured(double correlation, bool valid = true, bool held = false) {
  fm::NeighbourFlow n;
  n.estimated = true;
  n.match.held = held;
  n.match.correlationValid = valid;
  n.match.correlation = correlation;
  return n;
}

TEST(TrackedDriver, NeighbourRulesDropHeldFramesAndCuts) {
  const fm::NeighbourFlow none;
  EXPECT_FALSE(fm::keepNeighbourFlow(none, measured(0.99)));
  // A cut by its own correlation, and by comparison with a far better other side.
  EXPECT_FALSE(fm::keepNeighbourFlow(measured(0.3), measured(0.98)));
  EXPECT_FALSE(fm::keepNeighbourFlow(measured(0.49), none));
  EXPECT_FALSE(fm::keepNeighbourFlow(measured(0.80), measured(0.98)));
  EXPECT_TRUE(fm::keepNeighbourFlow(measured(0.98), measured(0.80)));
  EXPECT_TRUE(fm::keepNeighbourFlow(measured(0.80), measured(0.90)));
  EXPECT_TRUE(fm::keepNeighbourFlow(measured(0.86), measured(0.999)));  // 0.14 is within the mismatch allowed
  EXPECT_TRUE(fm::keepNeighbourFlow(measured(0.80), measured(0.99, false)));
  EXPECT_TRUE(fm::keepNeighbourFlow(measured(0.0, false), measured(0.99)));
  // Held: dropped only when the other side has a flow of its own that moves.
  EXPECT_FALSE(fm::keepNeighbourFlow(measured(1.0, true, true), measured(0.9)));
  EXPECT_TRUE(fm::keepNeighbourFlow(measured(1.0, true, true), none));
  EXPECT_TRUE(fm::keepNeighbourFlow(measured(1.0, true, true), measured(1.0, true, true)));
}

// ------------------------------------------------------------------ trivial cases

TEST(TrackedDriver, EmptyOutputAndMissingCurrentFrame) {
  fm::ThreadParallel par(2);
  fmtest::CountingBackend be(&par);
  const SquareSequence& s = sequence();
  const fm::Buffer cb = s.current.buffer();
  fm::TrackedFrames frames;
  frames.current = {&cb, {0, 0, kW, kH}};
  fm::Buffer out;
  std::string msg;
  EXPECT_TRUE(fm::renderTrackedMotion(be, fmtest::trackedSettings(1), frames, {5, 5, 5, 9}, out, &msg));
  EXPECT_EQ(out.data, nullptr);
  EXPECT_EQ(be.allocCalls + be.launchCalls, 0);
  // No current frame (absent, empty rectangle, no data): a transparent output.
  const fm::Buffer noData;
  for (fm::PlacedImage cur : {fm::PlacedImage{}, fm::PlacedImage{&cb, {3, 3, 3, 8}}, fm::PlacedImage{&noData, {0, 0, 4, 4}}}) {
    frames.current = cur;
    for (int mode : {1, 2}) {
      const HostImage junk = fmtest::randomImage(7, 5, 3);
      fm::Buffer o;
      ASSERT_TRUE(be.allocImage(o, 7, 5));
      HostImage got(7, 5, o.pitch);
      std::copy(junk.data(), junk.data() + 4 * 5, static_cast<float*>(o.data));
      be.kernels.clear();
      EXPECT_TRUE(fm::renderTrackedMotion(be, fmtest::trackedSettings(mode), frames, {0, 0, 7, 5}, o, &msg));
      EXPECT_EQ(be.kernels, std::vector<int>{FM_K_CLEAR});
      ASSERT_TRUE(be.download(o, got.data()));
      for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x) ASSERT_EQ(got.at(x, y).a, 0.0f);
      be.freeImage(o);
    }
  }
  EXPECT_EQ(be.liveImages, 0);
}

TEST(TrackedDriver, BlurWithoutTrackableMotionCopiesTheCurrentFrame) {
  fm::ThreadParallel par(2);
  fmtest::CountingBackend be(&par);
  const SquareSequence& s = sequence();
  struct Case {
    const char* what;
    RenderSettings st;
    bool prev, next;
  };
  RenderSettings prevOnly = fmtest::trackedSettings(1);
  prevOnly.tracking = 2;
  std::vector<Case> cases = {{"no neighbours", fmtest::trackedSettings(1), false, false},
                             {"previous only, first frame", prevOnly, false, true},
                             {"zero sensitivity", fmtest::trackedSettings(1, 0.5, 0.0), true, true},
                             {"zero amount", fmtest::trackedSettings(1, 0.0), true, true},
                             {"NaN amount", fmtest::trackedSettings(1, std::nan("")), true, true}};
  const fm::Rect outRect{-3, 2, kW + 5, kH - 4};
  for (const Case& c : cases) {
    be.kernels.clear();
    const fmtest::TrackedRun r = fmtest::runTracked(be, c.st, s.current, c.prev ? &s.previous : nullptr,
                                                    c.next ? &s.next : nullptr, outRect);
    ASSERT_TRUE(r.ok) << c.what;
    EXPECT_EQ(be.kernels, std::vector<int>{FM_K_COPY}) << c.what;
    for (int y = 0; y < r.out.height(); ++y)
      for (int x = 0; x < r.out.width(); ++x) {
        const int cx = x - 3, cy = y + 2;
        const bool inside = cx >= 0 && cx < kW && cy < kH;
        ASSERT_EQ(r.out.at(x, y).r, inside ? s.current.at(cx, cy).r : 0.0f) << c.what;
      }
  }
  // Only the frames the tracking choice names take part.
  RenderSettings nextOnly = fmtest::trackedSettings(1);
  nextOnly.tracking = 3;
  for (const RenderSettings& st : {prevOnly, nextOnly, fmtest::trackedSettings(1)}) {
    be.kernels.clear();
    const fmtest::TrackedRun r = fmtest::runTracked(be, st, s.current, &s.previous, &s.next, {0, 0, kW, kH});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(count(be.kernels, FM_K_FLOW_STATS), st.tracking == 1 ? 2 : 1);
  }
  // The first and last frame of a layer track their one neighbour.
  for (bool first : {true, false}) {
    be.kernels.clear();
    const fmtest::TrackedRun r = fmtest::runTracked(be, fmtest::trackedSettings(1), s.current,
                                                    first ? nullptr : &s.previous, first ? &s.next : nullptr,
                                                    {0, 0, kW, kH});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(count(be.kernels, FM_K_FLOW_UP), 1);
    EXPECT_EQ(count(be.kernels, FM_K_MBLUR), 1);
  }
  EXPECT_EQ(be.liveImages, 0);
}

TEST(TrackedDriver, VectorsWithoutNeighboursShowNoMotionInsideTheFrameOnly) {
  fm::ThreadParallel par(2);
  fmtest::CountingBackend be(&par);
  const SquareSequence& s = sequence();
  for (int depth : {8, 16, 32}) {
    RenderSettings st = fmtest::trackedSettings(2, 0.0, 0.0);
    st.bitDepth = depth;
    be.kernels.clear();
    const fmtest::TrackedRun r = fmtest::runTracked(be, st, s.current, nullptr, nullptr, {-2, -1, kW + 2, kH});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(be.kernels, (std::vector<int>{FM_K_MVEL, FM_K_MVVIEW}));
    const float mid = depth == 8 ? 127.0f / 255.0f : depth == 16 ? 0.5f : 0.0f;
    EXPECT_FLOAT_EQ(r.out.at(10, 10).r, mid);
    EXPECT_FLOAT_EQ(r.out.at(10, 10).g, mid);
    EXPECT_EQ(r.out.at(10, 10).a, 1.0f);
    EXPECT_EQ(r.out.at(0, 10).a, 0.0f);   // left of the frame
    EXPECT_EQ(r.out.at(10, 0).a, 0.0f);   // above it
    EXPECT_EQ(r.out.at(kW + 3, 10).a, 0.0f);
  }
}

TEST(TrackedDriver, LargerCurrentBufferIsRepackedAndTheOutputPlaced) {
  fm::ThreadParallel par(2);
  fmtest::CountingBackend be(&par);
  const SquareSequence& s = sequence();
  // The current frame inside a bigger buffer: its rectangle covers the top-left kW x kH.
  HostImage big = fmtest::randomImage(kW + 9, kH + 5, 4, 0.0f, 1.0f);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) big.at(x, y) = s.current.at(x, y);
  const fm::Buffer bb = big.buffer(), pb = s.previous.buffer(), nb = s.next.buffer();
  const fm::PlacedImage prev{&pb, {10, 20, 10 + kW, 20 + kH}}, next{&nb, {10, 20, 10 + kW, 20 + kH}};
  fm::TrackedFrames frames;
  frames.current = {&bb, {10, 20, 10 + kW, 20 + kH}};
  frames.previous = &prev;
  frames.next = &next;
  for (int mode : {1, 2}) {
    const RenderSettings st = fmtest::trackedSettings(mode, 1.0);
    const fmtest::TrackedRun ref = fmtest::runTracked(be, st, s.current, &s.previous, &s.next, {0, 0, kW, kH});
    ASSERT_TRUE(ref.ok);
    fm::Buffer out;
    std::string msg;
    be.kernels.clear();
    ASSERT_TRUE(fm::renderTrackedMotion(be, st, frames, {14, 21, 14 + 30, 21 + 40}, out, &msg)) << msg;
    EXPECT_EQ(be.kernels.front(), FM_K_COPY);
    EXPECT_EQ(out.width, 30);
    HostImage got(out.width, out.height, out.pitch);
    ASSERT_TRUE(be.download(out, got.data()));
    be.freeImage(out);
    for (int y = 0; y < 40; ++y)
      for (int x = 0; x < 30; ++x) {
        ASSERT_EQ(got.at(x, y).r, ref.out.at(x + 4, y + 1).r) << mode << " " << x << "," << y;
        ASSERT_EQ(got.at(x, y).a, ref.out.at(x + 4, y + 1).a);
      }
  }
  EXPECT_EQ(be.liveImages, 0);
}

TEST(TrackedDriver, MatteDecidesWhatIsInFront) {
  fm::ThreadParallel par(2);
  fmtest::CountingBackend be(&par);
  const SquareSequence& s = sequence();
  HostImage white(kW, kH), black(kW, kH);
  white.fill({1, 1, 1, 1});
  black.fill({0, 0, 0, 1});
  const RenderSettings st = fmtest::trackedSettings(1, 1.0);
  const fmtest::TrackedRun plain = fmtest::runTracked(be, st, s.current, &s.previous, &s.next, {0, 0, kW, kH});
  be.kernels.clear();
  const fmtest::TrackedRun w = fmtest::runTracked(be, st, s.current, &s.previous, &s.next, {0, 0, kW, kH}, &white);
  ASSERT_TRUE(plain.ok && w.ok);
  EXPECT_EQ(count(be.kernels, FM_K_COPY), 1);  // the matte over the current rectangle
  // An opaque frame and a white matte both put everything in front: the same picture.
  EXPECT_EQ(fmtest::firstDifference(plain.out, w.out), "");
  const fmtest::TrackedRun b = fmtest::runTracked(be, st, s.current, &s.previous, &s.next, {0, 0, kW, kH}, &black);
  ASSERT_TRUE(b.ok);
  EXPECT_TRUE(fmtest::allFinite(b.out));
  EXPECT_EQ(be.liveImages, 0);
}

TEST(TrackedDriver, BothNeighboursRunThePipelineInOrder) {
  fm::ThreadParallel par(2);
  fmtest::CountingBackend be(&par);
  const SquareSequence& s = sequence();
  ASSERT_TRUE(fmtest::runTracked(be, fmtest::trackedSettings(1, 1.0), s.current, &s.previous, &s.next, {0, 0, kW, kH}).ok);
  const std::vector<int>& k = be.kernels;
  ASSERT_GT(k.size(), 12u);
  // The current pyramid first, then each neighbour's pyramid, flow and statistics.
  EXPECT_EQ(k[0], FM_K_FEAT);
  EXPECT_EQ(k[1], FM_K_HALF);
  const std::vector<int> tail = {FM_K_FLOW_UP, FM_K_FLOW_UP, FM_K_MVEL, FM_K_TILEMAX, FM_K_NEIGHBORMAX,
                                 FM_K_NEIGHBORMAX, FM_K_MBLUR};
  EXPECT_EQ(std::vector<int>(k.end() - 7, k.end()), tail);
  EXPECT_EQ(count(k, FM_K_FEAT), 3);
  EXPECT_EQ(count(k, FM_K_FLOW_STATS), 2);
  EXPECT_EQ(k[size_t(k.size() - 8)], FM_K_FLOW_STATS);
  // The gather's cost follows the longest motion, within the sample limit.
  EXPECT_GE(be.costs.back(), 5.0 * 8.0);
  EXPECT_LE(be.costs.back(), 95.0 * 8.0);
}

TEST(TrackedDriver, ShutterScaleAndNeighbourhoodRadius) {
  fm::VelocityStage v;
  v.maxFlow = 16.0f;
  v.blurAmount = 0.5;
  EXPECT_EQ(fm::velocityScale(v), 0.25f);
  EXPECT_EQ(fm::velocityLimit(v), 4.0f);
  v.blurAmount = 9.0;  // at most four frames of shutter
  EXPECT_EQ(fm::velocityScale(v), 2.0f);
  EXPECT_EQ(fm::velocityLimit(v), 32.0f);
  v.blurAmount = -1.0;
  EXPECT_EQ(fm::velocityLimit(v), 0.0f);
  v.vectorsOutput = true;  // motion per frame, limited by the tracking range
  EXPECT_EQ(fm::velocityScale(v), 1.0f);
  EXPECT_EQ(fm::velocityLimit(v), 16.0f);
  EXPECT_EQ(fm::neighbourRadius(0.5f), 1);
  EXPECT_EQ(fm::neighbourRadius(16.0f), 1);
  EXPECT_EQ(fm::neighbourRadius(16.5f), 2);
  EXPECT_EQ(fm::neighbourRadius(40.0f), 3);
  EXPECT_GT(fm::neighbourRadius(3e38f), 1);
  EXPECT_EQ(fm::motionTiles(1), 1);
  EXPECT_EQ(fm::motionTiles(1920), 120);
  EXPECT_EQ(fm::motionTiles(1081), 68);
}

// A CPU backend whose downloads all fail: the match measures and the tile maxima are lost.
class NoDownloads final : public fm::ForwardingBackend<fmtest::CountingBackend> {
 public:
  explicit NoDownloads(fm::Parallel* par) : ForwardingBackend(par) {}
  bool download(const fm::Buffer&, void*) override { return false; }
};

TEST(TrackedDriver, LostDownloadsAreNoErrors) {
  fm::ThreadParallel par(2);
  NoDownloads be(&par);
  fmtest::CountingBackend ref(&par);
  const SquareSequence& s = sequence();
  const HostImage cut = fmtest::sceneFrame(kW, kH, 77, false);
  const RenderSettings st = fmtest::trackedSettings(1, 1.0);
  // Without statistics a cut cannot be seen, so both flows are used; without tile maxima the
  // largest extent is assumed and the gather still runs.
  fm::Buffer out;
  std::string msg;
  const fm::Buffer cb = s.current.buffer(), pb = s.previous.buffer(), nb = cut.buffer();
  const fm::PlacedImage prev{&pb, {0, 0, kW, kH}}, next{&nb, {0, 0, kW, kH}};
  fm::TrackedFrames frames;
  frames.current = {&cb, {0, 0, kW, kH}};
  frames.previous = &prev;
  frames.next = &next;
  ASSERT_TRUE(fm::renderTrackedMotion(be, st, frames, {0, 0, kW, kH}, out, &msg)) << msg;
  EXPECT_EQ(count(be.inner.kernels, FM_K_FLOW_UP), 2);
  EXPECT_EQ(count(be.inner.kernels, FM_K_MBLUR), 1);
  HostImage got(out.width, out.height, out.pitch);
  ASSERT_TRUE(be.inner.download(out, got.data()));
  be.freeImage(out);
  EXPECT_TRUE(fmtest::allFinite(got));
  // With its statistics the same cut is dropped.
  ASSERT_TRUE(fmtest::runTracked(ref, st, s.current, &s.previous, &cut, {0, 0, kW, kH}).ok);
  EXPECT_EQ(count(ref.kernels, FM_K_FLOW_UP), 1);
  EXPECT_EQ(be.inner.liveImages, 0);
}

// ------------------------------------------------------------------ failures

struct AbortAfter {
  fmtest::CountingBackend* be = nullptr;
  int launches = 0;
  static bool query(void* ctx) {
    const AbortAfter* a = static_cast<const AbortAfter*>(ctx);
    return a->be && a->be->launchCalls >= a->launches;
  }
};

TEST(TrackedDriver, AbortDuringTheFlowSetsNoMessage) {
  fm::ThreadParallel par(2);
  const SquareSequence& s = sequence();
  std::vector<int> kernels;
  {
    fmtest::CountingBackend be(&par);
    ASSERT_TRUE(fmtest::runTracked(be, fmtest::trackedSettings(1), s.current, &s.previous, &s.next, {0, 0, kW, kH}).ok);
    kernels = be.kernels;
  }
  const std::set<int> flowKernels = {FM_K_TMPL,      FM_K_PATCH_INIT,  FM_K_PATCH_SEARCH, FM_K_DENSIFY,
                                     FM_K_FLOW_WARP, FM_K_FLOW_EDGES, FM_K_FLOW_REFINE};
  int tried = 0;
  for (size_t i = 0; i < kernels.size(); i += 7) {
    if (!flowKernels.count(kernels[i])) continue;
    AbortAfter ab;
    fmtest::CountingBackend be(&par, &AbortAfter::query, &ab);
    ab.be = &be;
    ab.launches = int(i) + 1;
    const fmtest::TrackedRun r =
        fmtest::runTracked(be, fmtest::trackedSettings(1), s.current, &s.previous, &s.next, {0, 0, kW, kH});
    EXPECT_FALSE(r.ok) << i;
    EXPECT_EQ(r.message, "") << i;
    EXPECT_EQ(be.liveImages, 0) << i;
    ++tried;
  }
  EXPECT_GT(tried, 3);
}

// The message each failed launch gives; "" for launches whose failure is not an error.
std::string messageFor(int kernel, bool repackOrMatteCopy) {
  switch (kernel) {
    case FM_K_COPY: return repackOrMatteCopy ? "memory" : "copy";
    case FM_K_FEAT: case FM_K_HALF: return "pyramid";
    case FM_K_FLOW_STATS: return "";
    case FM_K_FLOW_UP: return "flow up";
    case FM_K_MVEL: return "velocity";
    case FM_K_TILEMAX: case FM_K_NEIGHBORMAX: return "tiles";
    case FM_K_MBLUR: return "blur";
    case FM_K_MVVIEW: return "vectors";
    default: return "flow";
  }
}

TEST(TrackedDriver, EveryFailedLaunchAndAllocationGivesItsMessageAndLeaksNothing) {
  fm::ThreadParallel par(2);
  const SquareSequence& s = sequence();
  HostImage matte(kW, kH);
  matte.fill({1, 1, 1, 1});
  for (int mode : {1, 2}) {
    const RenderSettings st = fmtest::trackedSettings(mode, 1.0);
    fmtest::CountingBackend ref(&par);
    ASSERT_TRUE(fmtest::runTracked(ref, st, s.current, &s.previous, &s.next, {0, 0, kW, kH}, &matte).ok);
    for (int n = 1; n <= ref.launchCalls; ++n) {
      fmtest::CountingBackend be(&par);
      be.failLaunch = n;
      const fmtest::TrackedRun r = fmtest::runTracked(be, st, s.current, &s.previous, &s.next, {0, 0, kW, kH}, &matte);
      const int k = ref.kernels[size_t(n - 1)];
      const std::string want = messageFor(k, true);
      EXPECT_EQ(r.ok, want.empty()) << mode << " launch " << n << " kernel " << k;
      EXPECT_EQ(r.message, want) << mode << " launch " << n << " kernel " << k;
      EXPECT_EQ(be.liveImages, 0) << n;
    }
    const std::set<std::string> allocMessages = {"memory", "pyramid", "flow"};
    int failures = 0;
    for (int n = 1; n <= ref.allocCalls; ++n) {
      fmtest::CountingBackend be(&par);
      be.failAlloc = n;
      const fmtest::TrackedRun r = fmtest::runTracked(be, st, s.current, &s.previous, &s.next, {0, 0, kW, kH}, &matte);
      if (!r.ok) {
        ++failures;
        EXPECT_TRUE(allocMessages.count(r.message)) << mode << " alloc " << n << ": " << r.message;
      } else {
        EXPECT_TRUE(r.message.empty());
      }
      EXPECT_EQ(be.liveImages, 0) << n;
    }
    // Only the match statistics' buffers (one per neighbour) may fail without failing the render.
    EXPECT_EQ(failures, ref.allocCalls - 2) << mode;
  }
  // The copy step and the clear report their own words.
  fmtest::CountingBackend be(&par);
  be.failLaunch = 1;
  EXPECT_EQ(fmtest::runTracked(be, fmtest::trackedSettings(1), s.current, nullptr, nullptr, {0, 0, 8, 8}).message,
            "copy");
  fm::TrackedFrames none;
  fm::Buffer out;
  std::string msg;
  be.failLaunch = be.launchCalls + 1;
  EXPECT_FALSE(fm::renderTrackedMotion(be, fmtest::trackedSettings(1), none, {0, 0, 4, 4}, out, &msg));
  EXPECT_EQ(msg, "clear");
  be.freeImage(out);
  be.failAlloc = be.allocCalls + 1;
  EXPECT_FALSE(fm::renderTrackedMotion(be, fmtest::trackedSettings(1), none, {0, 0, 4, 4}, out, &msg));
  EXPECT_EQ(msg, "memory");
  EXPECT_EQ(be.liveImages, 0);
}

// ------------------------------------------------------------------ bad input

TEST(TrackedDriver, BadInputGivesFiniteOutput) {
  fm::ThreadParallel par(2);
  fmtest::CountingBackend be(&par);
  const SquareSequence& s = sequence();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  HostImage nanPrev = s.previous, nanNext = s.next, nanCur = s.current;
  for (int i = 0; i < 40; ++i) {
    nanPrev.at((i * 7) % kW, (i * 5) % kH) = {nan, nan, nan, nan};
    nanNext.at((i * 3) % kW, (i * 11) % kH) = {nan, 1, nan, nan};
    nanCur.at((i * 13) % kW, (i * 3) % kH) = {nan, nan, nan, nan};
  }
  const HostImage small = fmtest::textureFrame(20, 14, 3), huge = fmtest::textureFrame(150, 90, 4);
  const HostImage one = fmtest::randomImage(1, 1, 5, 0.0f, 1.0f);
  for (int mode : {1, 2})
    for (double maxDisp : {1.0, 4096.0, 0.0, std::nan("")}) {
      RenderSettings st = fmtest::trackedSettings(mode, 4.0);
      st.maxDisplacement = maxDisp;
      struct Run {
        const char* what;
        const HostImage *cur, *prev, *next;
      } runs[] = {{"NaN neighbours", &s.current, &nanPrev, &nanNext},
                  {"different sizes", &s.current, &small, &huge},
                  {"1 x 1", &one, &one, &one}};
      for (const Run& r : runs) {
        const fmtest::TrackedRun out = fmtest::runTracked(be, st, *r.cur, r.prev, r.next, {-2, -2, 70, 50});
        ASSERT_TRUE(out.ok) << r.what << " " << out.message;
        EXPECT_TRUE(fmtest::allFinite(out.out)) << r.what << " mode " << mode << " range " << maxDisp;
      }
      // NaN in the current frame: the motion stays finite.
      if (mode == 2) {
        const fmtest::TrackedRun out = fmtest::runTracked(be, st, nanCur, &s.previous, &s.next, {0, 0, kW, kH});
        ASSERT_TRUE(out.ok);
        EXPECT_TRUE(fmtest::allFinite(out.out)) << maxDisp;
      }
    }
  // Neighbours placed far away read as transparency: finite, and the square's frame survives.
  const fm::Buffer cb = s.current.buffer(), pb = s.previous.buffer();
  const fm::PlacedImage far{&pb, {900000000, -900000000, 900000000 + kW, -900000000 + kH}};
  fm::TrackedFrames frames;
  frames.current = {&cb, {0, 0, kW, kH}};
  frames.previous = &far;
  frames.next = &far;
  for (int mode : {1, 2}) {
    fm::Buffer out;
    std::string msg;
    ASSERT_TRUE(fm::renderTrackedMotion(be, fmtest::trackedSettings(mode), frames, {0, 0, kW, kH}, out, &msg)) << msg;
    HostImage got(out.width, out.height, out.pitch);
    ASSERT_TRUE(be.download(out, got.data()));
    be.freeImage(out);
    EXPECT_TRUE(fmtest::allFinite(got));
  }
  EXPECT_EQ(be.liveImages, 0);
}

// ------------------------------------------------------------------ OpenCL

HostImage renderOn(fm::Backend& be, fmtest::OpenCLTarget* cl, const RenderSettings& st, const SquareSequence& s) {
  fm::Buffer cur, prev, next;
  HostImage result;
  if (cl) {
    EXPECT_TRUE(cl->upload(cur, s.current) && cl->upload(prev, s.previous) && cl->upload(next, s.next));
  } else {
    cur = s.current.buffer();
    prev = s.previous.buffer();
    next = s.next.buffer();
  }
  const fm::PlacedImage pp{&prev, {0, 0, kW, kH}}, np{&next, {0, 0, kW, kH}};
  fm::TrackedFrames frames;
  frames.current = {&cur, {0, 0, kW, kH}};
  frames.previous = &pp;
  frames.next = &np;
  fm::Buffer out;
  std::string msg;
  EXPECT_TRUE(fm::renderTrackedMotion(be, st, frames, {-3, 1, kW + 2, kH - 1}, out, &msg)) << msg;
  if (out.data) {
    if (cl) {
      result = HostImage(out.width, out.height);
      EXPECT_TRUE(cl->read(out, result));
    } else {
      result = HostImage(out.width, out.height, out.pitch);
      EXPECT_TRUE(be.download(out, result.data()));
    }
  }
  be.freeImage(out);
  if (cl) {
    cl->backend.freeImage(cur);
    cl->backend.freeImage(prev);
    cl->backend.freeImage(next);
  }
  return result;
}

TEST(TrackedDriver, OpenclRendersMatchTheCpu) {
  FM_REQUIRE_OPENCL();
  std::string why;
  std::unique_ptr<fmtest::OpenCLTarget> cl = fmtest::OpenCLTarget::create(&why);
  ASSERT_TRUE(cl) << why;
  fm::ThreadParallel par(2);
  fmtest::CountingBackend cpu(&par);
  const SquareSequence& s = sequence();
  for (int mode : {1, 2}) {
    RenderSettings st = fmtest::trackedSettings(mode, 1.0);
    st.maxDisplacement = 8;
    const HostImage a = renderOn(cpu, nullptr, st, s), b = renderOn(cl->backend, cl.get(), st, s);
    ASSERT_EQ(a.width(), b.width());
    HostImage ap(a.width(), a.height());
    for (int y = 0; y < a.height(); ++y)
      for (int x = 0; x < a.width(); ++x) ap.at(x, y) = a.at(x, y);
    // Flow estimates differ in the last bits between the targets: colours agree within 2e-3,
    // vectors within 0.1 pixels of motion.
    const float tol = mode == 1 ? 2e-3f : 0.1f / 8.0f;
    EXPECT_EQ(fmtest::firstDifference(ap, b, tol, 0.0f), "") << mode;
  }
  EXPECT_EQ(cl->liveAfterFlush(), 0);
  EXPECT_EQ(cpu.liveImages, 0);
}

}  // namespace
