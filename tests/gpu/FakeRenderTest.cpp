// Whole renders of every kind over the stand-in runtime, with each allocation and each enqueue
// failed in turn: a failed enqueue fails the render, a failed allocation fails it unless the retry
// after a finish finds memory, and either way every buffer goes back exactly once, and only after
// a clFinish that follows the last kernel that used it.
#include <string>

#include "blurs/Render.h"
#include "tests/gpu/FakeRuntime.h"
#include "tests/support/TrackedSequence.h"
#include "tracking/TrackedMotion.h"

namespace fakecl {
namespace {

constexpr int kW = 48, kH = 36;

struct Kind {
  const char* name;
  RenderSettings s;
};

std::vector<Kind> kinds() {
  std::vector<Kind> out;
  RenderSettings s;
  s.vectorAmount = 6;
  out.push_back({"vector", s});
  s = RenderSettings();
  s.blurType = fm::kGaussianBlur;
  s.blurriness = 25;
  out.push_back({"gaussian", s});
  s.blurriness = 900;  // reduced resolution
  out.push_back({"gaussian reduced", s});
  s = RenderSettings();
  s.blurType = fm::kCameraLensBlur;
  s.blurRadius = 7;
  s.highlightGain = 3;
  out.push_back({"camera lens", s});
  s = RenderSettings();
  s.blurType = fm::kBoxBlur;
  s.boxBlurRadius = 6;
  out.push_back({"box", s});
  s = RenderSettings();
  s.blurType = fm::kRadialBlur;
  s.radialType = fm::kZoom;
  s.centerX = 20;
  s.centerY = 10;
  out.push_back({"radial", s});
  s = RenderSettings();
  s.blurType = fm::kMotionBlur;
  s.direction = 30;
  s.blurLength = 12;
  out.push_back({"directional", s});
  s = fmtest::trackedSettings(fm::kOutputMotionBlur);
  s.maxDisplacement = 8;
  out.push_back({"tracked", s});
  s.motionOutput = fm::kOutputMotionVectors;
  out.push_back({"tracked vectors", s});
  return out;
}

class FakeRenders : public FakeTest {
 protected:
  enum Outcome { kSucceeds, kFails, kEither };

  // One render on a fresh backend and allocator whose `failAt`-th request fails (0: none);
  // the number of allocation requests it made.
  int render(const Kind& k, int failAt, Outcome expected) {
    fmtest::CountingGpuAllocator books(direct);
    books.failAt = failAt;
    // The frames are the host's: wrapped, never the backend's to release.
    fm::Buffer frames[3];
    for (fm::Buffer& f : frames) {
      void* h = nullptr;
      EXPECT_TRUE(direct.allocate(size_t(64) * kH * 16, &h));
      f = fm::Buffer{h, kW, kH, 64, false};
    }
    const fm::Rect rect{0, 0, kW, kH}, out{-5, 3, kW + 4, kH - 2};
    bool ok;
    std::string message;
    {
      fm::OpenCLBackend be(&books, program, fakeQueue());
      fm::Buffer result;
      if (k.s.frameMode == fm::kFrameTracked) {
        const fm::PlacedImage prev{&frames[1], rect}, next{&frames[2], rect};
        fm::TrackedFrames tf;
        tf.current = {&frames[0], rect};
        tf.previous = &prev;
        tf.next = &next;
        ok = fm::renderTrackedMotion(be, k.s, tf, out, result, &message);
      } else {
        const double scale[3] = {1, 1, 1};
        fm::MapImage map{&frames[1], rect, rect};
        ok = fm::render(be, k.s, scale, fm::PlacedImage{&frames[0], rect}, rect, rect,
                        k.s.blurType == fm::kVectorBlur ? &map : nullptr, out, result, &message);
      }
      be.freeImage(result);
      if (expected != kEither) {
        EXPECT_EQ(ok, expected == kSucceeds) << message << " / " << be.lastError;
      }
      if (!ok) {
        EXPECT_NE(message, "");
      }
    }
    for (fm::Buffer& f : frames) direct.release(f.data);
    EXPECT_EQ(books.liveHandles(), 0);
    for (const std::string& f : books.faults) ADD_FAILURE() << f;
    expectReleaseDiscipline(*fake);
    return books.requests;
  }
};

TEST_F(FakeRenders, EveryKindFailsCleanlyAtEveryAllocationAndEnqueue) {
  for (const Kind& k : kinds()) {
    SCOPED_TRACE(k.name);
    fake->reset();
    const int allocations = render(k, 0, kSucceeds);
    const int enqueues = fake->enqueueCount;
    ASSERT_GE(enqueues, 2);
    for (int n = 1; n <= enqueues; ++n) {
      SCOPED_TRACE("enqueue " + std::to_string(n));
      fake->reset();
      fake->enqueueError = -5;
      fake->enqueueFailAt = n;
      render(k, 0, kFails);
      EXPECT_EQ(fake->enqueueCount, n);  // nothing enqueued after the failure
    }
    for (int n = 1; n <= allocations; ++n) {
      SCOPED_TRACE("allocation " + std::to_string(n));
      fake->reset();
      render(k, n, kEither);
    }
  }
}

}  // namespace
}  // namespace fakecl
