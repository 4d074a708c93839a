// fm::OpenCLBackend on the OpenCL device present (PoCL on machines without a GPU): renders that
// share the device's program across threads, launches cut into many bands, and an out-of-order
// queue all give the pixels of the plain case.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "blurs/Render.h"
#include "gpu/OpenCLLoader.h"
#include "tests/support/OpenCLDevice.h"
#include "tests/support/OpenCLTarget.h"
#include "tests/support/TrackedSequence.h"
#include "tracking/TrackedMotion.h"

namespace {

using fmtest::HostImage;
using fmtest::OpenCLTarget;

constexpr int kW = 96, kH = 64;

struct Job {
  const char* name;
  RenderSettings s;
};

std::vector<Job> jobs() {
  std::vector<Job> out;
  RenderSettings s;
  s.blurType = fm::kGaussianBlur;
  s.blurriness = 30;
  out.push_back({"gaussian", s});
  s = RenderSettings();
  s.blurType = fm::kCameraLensBlur;
  s.blurRadius = 9;
  s.highlightGain = 2;
  s.highlightThreshold = 0.5;
  out.push_back({"camera lens", s});
  s = RenderSettings();
  s.blurType = fm::kBoxBlur;
  s.boxBlurRadius = 7;
  s.boxRepeatEdgePixels = false;
  out.push_back({"box", s});
  s = RenderSettings();
  s.blurType = fm::kRadialBlur;
  s.radialAmount = 25;
  s.centerX = 40;
  s.centerY = 30;
  out.push_back({"radial", s});
  s = RenderSettings();
  s.blurType = fm::kVectorBlur;
  s.vectorAmount = 8;
  out.push_back({"vector", s});
  s = fmtest::trackedSettings(fm::kOutputMotionBlur, 1.0);
  s.maxDisplacement = 8;
  out.push_back({"tracked", s});
  return out;
}

const fmtest::SquareSequence& frames() {
  static const fmtest::SquareSequence seq = fmtest::squareSequence(kW, kH, 20, 14, 30, 4.0, 1.0, 5);
  return seq;
}

// One render on `cl` of frames uploaded there; the output read back.
HostImage renderOn(OpenCLTarget& cl, const Job& job) {
  const fmtest::SquareSequence& seq = frames();
  fm::Buffer cur, prev, next, out;
  HostImage result;
  if (!cl.upload(cur, seq.current) || !cl.upload(prev, seq.previous) || !cl.upload(next, seq.next)) {
    ADD_FAILURE() << job.name << ": upload failed";
  } else {
    const fm::Rect rect{0, 0, kW, kH}, outRect{-6, 4, kW + 5, kH - 3};
    std::string message;
    bool ok;
    if (job.s.frameMode == fm::kFrameTracked) {
      const fm::PlacedImage p{&prev, rect}, n{&next, rect};
      fm::TrackedFrames tf;
      tf.current = {&cur, rect};
      tf.previous = &p;
      tf.next = &n;
      ok = fm::renderTrackedMotion(cl.backend, job.s, tf, outRect, out, &message);
    } else {
      const double scale[3] = {1, 1, 1};
      const fm::MapImage map{&prev, rect, rect};
      ok = fm::render(cl.backend, job.s, scale, fm::PlacedImage{&cur, rect}, rect, rect,
                      job.s.blurType == fm::kVectorBlur ? &map : nullptr, outRect, out, &message);
    }
    EXPECT_TRUE(ok && cl.read(out, result)) << job.name << ": " << message << " / " << cl.error();
  }
  for (fm::Buffer* b : {&cur, &prev, &next, &out}) cl.backend.freeImage(*b);
  EXPECT_EQ(cl.liveAfterFlush(), 0) << job.name;
  return result;
}

std::vector<HostImage> renderAll(OpenCLTarget& cl, const std::vector<Job>& list) {
  std::vector<HostImage> out;
  for (const Job& j : list) out.push_back(renderOn(cl, j));
  return out;
}

void expectSame(const std::vector<HostImage>& want, const std::vector<HostImage>& got, const std::vector<Job>& list,
                const std::string& what) {
  ASSERT_EQ(want.size(), got.size());
  for (size_t i = 0; i < want.size(); ++i)
    EXPECT_EQ(fmtest::firstDifference(want[i], got[i]), "") << what << ": " << list[i].name;
}

std::unique_ptr<OpenCLTarget> target(fm::cl_command_queue queue = nullptr) {
  std::string why;
  std::unique_ptr<OpenCLTarget> cl = OpenCLTarget::create(&why, queue);
  EXPECT_TRUE(cl) << why;
  return cl;
}

TEST(GpuOnOpencl, TwoRenderThreadsSharingTheProgramGiveThePixelsOfOneAfterTheOther) {
  FM_REQUIRE_OPENCL();
  fmtest::OpenCLDevice* device = fmtest::OpenCLDevice::get();
  const std::vector<Job> all = jobs();
  const std::vector<Job> first(all.begin(), all.begin() + 3), second(all.begin() + 3, all.end());
  std::unique_ptr<OpenCLTarget> alone = target();
  ASSERT_TRUE(alone);
  const std::vector<HostImage> want1 = renderAll(*alone, first), want2 = renderAll(*alone, second);
  fm::cl_command_queue q1 = device->createQueue(), q2 = device->createQueue();
  ASSERT_TRUE(q1 && q2);
  for (int round = 0; round < 3; ++round) {
    std::vector<HostImage> got1, got2;
    std::thread a([&] {
      if (std::unique_ptr<OpenCLTarget> cl = target(q1)) got1 = renderAll(*cl, first);
    });
    std::thread b([&] {
      if (std::unique_ptr<OpenCLTarget> cl = target(q2)) got2 = renderAll(*cl, second);
    });
    a.join();
    b.join();
    expectSame(want1, got1, first, "thread 1, round " + std::to_string(round));
    expectSame(want2, got2, second, "thread 2, round " + std::to_string(round));
  }
  device->releaseQueue(q1);
  device->releaseQueue(q2);
}

// Each band gets its own first row: renders whose launches are cut into bands of a few rows
// must not differ from those in one band by a single bit.
TEST(GpuOnOpencl, LaunchesCutIntoBandsOfAFewRowsGiveTheSamePixels) {
  FM_REQUIRE_OPENCL();
  const std::vector<Job> all = jobs();
  std::unique_ptr<OpenCLTarget> whole = target(), banded = target();
  ASSERT_TRUE(whole && banded);
  banded->backend.bandBudget = 5.0 * kW;
  expectSame(renderAll(*whole, all), renderAll(*banded, all), all, "bands");
}

TEST(GpuOnOpencl, AnOutOfOrderQueueGivesTheSamePixels) {
  FM_REQUIRE_OPENCL();
  fmtest::OpenCLDevice* device = fmtest::OpenCLDevice::get();
  fm::cl_command_queue q = device->createQueue(fm::kClQueueOutOfOrderExecModeEnable);
  fm::cl_command_queue_properties properties = 0;
  if (q && fm::openCL()->getCommandQueueInfo)
    fm::openCL()->getCommandQueueInfo(q, fm::kClQueueProperties, sizeof properties, &properties, nullptr);
  if (!(properties & fm::kClQueueOutOfOrderExecModeEnable)) {
    device->releaseQueue(q);
    GTEST_SKIP() << "the device makes no out-of-order queue";
  }
  const std::vector<Job> all = jobs();
  std::unique_ptr<OpenCLTarget> inOrder = target(), outOfOrder = target(q);
  ASSERT_TRUE(inOrder && outOfOrder);
  expectSame(renderAll(*inOrder, all), renderAll(*outOfOrder, all), all, "out of order");
  outOfOrder.reset();
  device->releaseQueue(q);
}

}  // namespace
