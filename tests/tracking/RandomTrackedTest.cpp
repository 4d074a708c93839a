// Randomised tracked renders: a few small frames of random texture with neighbours that are
// present or not, placed over or beside the current frame (or far away in "wild" calls), with
// a matte now and then, random settings and bit depths, and in wild calls extreme values.
// Every call must come back cleanly, write every output pixel (two renders into differently
// poisoned memory agree bit for bit), leak nothing, and with ordinary settings stay finite.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <set>
#include <sstream>
#include <string>

#include "engine/ThreadParallel.h"
#include "tests/support/FailureSweep.h"
#include "tests/support/PoisonedRenders.h"
#include "tests/support/RandomDraw.h"
#include "tests/support/TestBackends.h"
#include "tests/support/TestImage.h"
#include "tracking/TrackedMotion.h"

namespace {

using fm::Rect;
using fmtest::HostImage;

struct Call {
  RenderSettings s;
  HostImage current, previous, next, matte;
  Rect currentRect, previousRect, nextRect, matteRect, outRect;
  bool hasPrevious = false, hasNext = false, hasMatte = false;
  std::string text;
};

int32_t saturated(int64_t v) { return int32_t(std::min<int64_t>(std::max<int64_t>(v, INT32_MIN), INT32_MAX)); }

// A neighbour of the current frame's size or a little different, placed near it.
Rect near(fmtest::RandomDraw& d, const Rect& r, int w, int h) {
  const int64_t x = int64_t(r.left) + d.integer(-6, 6);
  const int64_t y = std::min<int64_t>(int64_t(r.top) + d.integer(-6, 6), INT32_MAX - h);
  return Rect{saturated(x), saturated(y), saturated(x) + w, saturated(y) + h};
}

Call drawCall(uint32_t seed, bool wild) {
  fmtest::RandomDraw d(seed, wild);
  Call c;
  RenderSettings& s = c.s;
  s.blurType = fm::kMotionBlur;
  s.motionBlurType = 2;
  s.frameMode = fm::kFrameTracked;
  s.blurAmount = d.real(0, 4);
  s.motionSensitivity = d.real(0, 100);
  s.tracking = d.choice(1, 3);
  s.vectorDetail = d.choice(1, 3);
  s.motionOutput = d.choice(1, 2);
  s.maxDisplacement = d.real(1, 200);
  const int depths[] = {8, 16, 32, 32};
  s.bitDepth = depths[d.integer(0, 3)];
  if (wild && d.chance(0.2)) s.bitDepth = d.choice(8, 32);
  const double downsample[] = {1, 1, 0.5};
  s.downsampleX = downsample[d.integer(0, 2)];
  s.downsampleY = downsample[d.integer(0, 2)];
  if (wild && d.chance(0.2)) s.downsampleX = d.real(0, 1);

  const int w = d.integer(1, 48), h = d.integer(1, 40);
  int32_t x0 = d.integer(-20, 20), y0 = d.integer(-20, 20);
  if (wild && d.chance(0.15)) x0 = INT32_MIN + d.integer(0, 100);
  if (wild && d.chance(0.15)) y0 = INT32_MAX - h - d.integer(0, 100);
  c.current = fmtest::randomImage(w, h, seed, 0.0f, 1.0f);
  c.currentRect = Rect{x0, y0, x0 + w, y0 + h};
  auto neighbour = [&](HostImage& im, Rect& r, uint32_t salt) {
    const int nw = d.chance(0.8) ? w : d.integer(1, 48), nh = d.chance(0.8) ? h : d.integer(1, 40);
    im = fmtest::randomImage(nw, nh, seed + salt, 0.0f, 1.0f);
    r = near(d, c.currentRect, nw, nh);
    if (wild && d.chance(0.1)) r = Rect{INT32_MAX - nw, INT32_MAX - nh, INT32_MAX, INT32_MAX};
  };
  if ((c.hasPrevious = d.chance(0.8))) neighbour(c.previous, c.previousRect, 1);
  if ((c.hasNext = d.chance(0.8))) neighbour(c.next, c.nextRect, 2);
  if ((c.hasMatte = d.chance(0.25))) neighbour(c.matte, c.matteRect, 3);
  const int ow = d.integer(1, 56), oh = d.integer(1, 48);
  const int64_t ox = std::min<int64_t>(int64_t(x0) + d.integer(-12, 12), INT32_MAX - ow);
  const int64_t oy = std::min<int64_t>(int64_t(y0) + d.integer(-12, 12), INT32_MAX - oh);
  c.outRect = Rect{saturated(ox), saturated(oy), saturated(ox) + ow, saturated(oy) + oh};

  std::ostringstream t;
  t << "seed " << seed << (wild ? " (wild)" : "") << ": " << w << "x" << h << " at " << x0 << "," << y0
    << (c.hasPrevious ? ", previous" : "") << (c.hasNext ? ", next" : "") << (c.hasMatte ? ", matte" : "")
    << "; amount " << s.blurAmount << " sensitivity " << s.motionSensitivity << " tracking " << s.tracking
    << " detail " << s.vectorDetail << " output " << s.motionOutput << " range " << s.maxDisplacement << " depth "
    << s.bitDepth << " scale " << s.downsampleX << "/" << s.downsampleY;
  c.text = t.str();
  return c;
}

// Renders a call into `out` on `be`.
bool renderCall(const Call& c, fm::Backend& be, fm::Buffer& out, std::string& message) {
  const fm::Buffer cb = c.current.buffer(), pb = c.previous.buffer(), nb = c.next.buffer(), mb = c.matte.buffer();
  const fm::PlacedImage prev{&pb, c.previousRect}, next{&nb, c.nextRect}, matte{&mb, c.matteRect};
  fm::TrackedFrames frames;
  frames.current = {&cb, c.currentRect};
  frames.previous = c.hasPrevious ? &prev : nullptr;
  frames.next = c.hasNext ? &next : nullptr;
  frames.matte = c.hasMatte ? &matte : nullptr;
  return fm::renderTrackedMotion(be, c.s, frames, c.outRect, out, &message);
}

void checkCalls(bool wild, uint32_t firstSeed, int count) {
  int rendered = 0;
  for (uint32_t seed = firstSeed; seed < firstSeed + uint32_t(count); ++seed) {
    const Call c = drawCall(seed, wild);
    SCOPED_TRACE(c.text);
    auto render = [&c](fm::Backend& be, fm::Buffer& out, std::string& message) {
      return renderCall(c, be, out, message);
    };
    rendered += fmtest::expectCleanRenders(render, c.outRect, !wild);
  }
  EXPECT_GT(rendered, count / 2);
}

// What a failed call may say.
const std::set<std::string> kMessages = {"memory", "clear", "copy", "pyramid", "flow",
                                         "flow up", "velocity", "tiles", "blur", "vectors"};

// Every allocation and launch of a call failed in turn, and the host stopping it: whether the
// call survives (a lost match measure is no error) or fails with one of its messages or none
// (an abort during the flow or the gather), nothing stays allocated.
void checkFailures(uint32_t firstSeed, int count) {
  for (uint32_t seed = firstSeed; seed < firstSeed + uint32_t(count); ++seed) {
    const Call c = drawCall(seed, false);
    SCOPED_TRACE(c.text);
    auto run = [&c](fm::Backend& be, std::string& message) {
      fm::Buffer out;
      const bool ok = renderCall(c, be, out, message);
      be.freeImage(out);
      return ok;
    };
    auto judge = [](const fmtest::FailedStep& step, bool ok, const std::string& message, fm::Backend&) {
      if (step.kind == fmtest::FailedStep::kAbort) {
        EXPECT_FALSE(ok) << step.text();
        EXPECT_TRUE(message.empty() || kMessages.count(message)) << step.text() << ": " << message;
      } else if (ok) {
        EXPECT_EQ(message, "") << step.text();
      } else {
        EXPECT_TRUE(kMessages.count(message)) << step.text() << ": \"" << message << "\"";
      }
    };
    fmtest::sweepFailures(run, judge);
  }
}

TEST(RandomTracked, OrdinaryCallsRenderCleanlyAndWriteEveryPixel) { checkCalls(false, 100, 150); }

TEST(RandomTracked, ExtremeCallsNeverCrashOrLeak) { checkCalls(true, 7000, 200); }

TEST(RandomTracked, EveryFailedAllocationLaunchOrAbortLeavesNothingAllocated) { checkFailures(100, 25); }

}  // namespace
