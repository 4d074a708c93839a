#include "tests/gpu/RenderJobs.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "blurs/Render.h"
#include "engine/ThreadParallel.h"
#include "engine/cpu/CpuBackend.h"
#include "tests/support/GpuUpload.h"
#include "tests/support/TestBackends.h"
#include "tests/support/TrackedSequence.h"
#include "tracking/TrackedMotion.h"

namespace fmtest {
namespace {

constexpr int kW = 64, kH = 48;
const fm::Rect kRect{0, 0, kW, kH}, kOut{-6, 4, kW + 5, kH - 3};

const SquareSequence& frames() {
  static const SquareSequence seq = squareSequence(kW, kH, 20, 14, 24, 4.0, 1.0, 5);
  return seq;
}

// Frames in order current, previous, next; the previous frame doubles as the map.
bool render(fm::Backend& be, const RenderJob& job, const fm::Buffer in[3], fm::Buffer& out, std::string& message) {
  if (job.s.frameMode == fm::kFrameTracked) {
    const fm::PlacedImage prev{&in[1], kRect}, next{&in[2], kRect};
    fm::TrackedFrames tf;
    tf.current = {&in[0], kRect};
    tf.previous = &prev;
    tf.next = &next;
    return fm::renderTrackedMotion(be, job.s, tf, kOut, out, &message);
  }
  const double scale[3] = {1, 1, 1};
  const fm::MapImage map{&in[1], kRect, kRect};
  const bool withMap = job.s.blurType == fm::kVectorBlur || job.s.hasBlurMap;
  return fm::render(be, job.s, scale, fm::PlacedImage{&in[0], kRect}, kRect, kRect, withMap ? &map : nullptr, kOut,
                    out, &message);
}

}  // namespace

std::vector<RenderJob> everyKind() {
  std::vector<RenderJob> out;
  RenderSettings s;
  s.vectorAmount = 6;
  out.push_back({"vector", s, 2e-4f});
  s = RenderSettings();
  s.blurType = fm::kGaussianBlur;
  s.blurriness = 25;
  out.push_back({"gaussian", s, 2e-4f});
  s.blurriness = 900;
  out.push_back({"gaussian reduced", s, 2e-4f});
  s = RenderSettings();
  s.blurType = fm::kCameraLensBlur;
  s.blurRadius = 7;
  s.highlightGain = 3;
  out.push_back({"camera lens", s, 2e-4f});
  s.hasBlurMap = true;
  out.push_back({"camera lens map", s, 2e-4f});
  s = RenderSettings();
  s.blurType = fm::kBoxBlur;
  s.boxBlurRadius = 6;
  out.push_back({"box", s, 2e-4f});
  s = RenderSettings();
  s.blurType = fm::kRadialBlur;
  s.radialType = fm::kZoom;
  s.centerX = 20;
  s.centerY = 10;
  out.push_back({"radial", s, 2e-4f});
  s = RenderSettings();
  s.blurType = fm::kMotionBlur;
  s.direction = 30;
  s.blurLength = 12;
  out.push_back({"directional", s, 2e-4f});
  // Flow estimates differ in the last bits between targets: colours within 2e-3, vectors within
  // 0.1 pixels of motion.
  s = trackedSettings(fm::kOutputMotionBlur, 1.0);
  s.maxDisplacement = 8;
  out.push_back({"tracked", s, 2e-3f});
  s.motionOutput = fm::kOutputMotionVectors;
  out.push_back({"tracked vectors", s, 0.1f / 8});
  return out;
}

HostImage renderOnCpu(const RenderJob& job) {
  fm::ThreadParallel par(2);
  fm::CpuBackend cpu(&par, nullptr, nullptr);
  const fm::Buffer in[3] = {frames().current.buffer(), frames().previous.buffer(), frames().next.buffer()};
  fm::Buffer out;
  std::string message;
  HostImage result;
  EXPECT_TRUE(render(cpu, job, in, out, message) && readImage(cpu, out, result)) << job.name << ": " << message;
  cpu.freeImage(out);
  return result;
}

HostImage renderOnGpu(fm::GpuBackendBase& be, const RenderJob& job) {
  fm::Buffer in[3], out;
  HostImage result;
  std::string message;
  if (!uploadImage(be, frames().current, in[0]) || !uploadImage(be, frames().previous, in[1]) ||
      !uploadImage(be, frames().next, in[2])) {
    ADD_FAILURE() << job.name << ": upload failed: " << be.lastError;
  } else {
    EXPECT_TRUE(render(be, job, in, out, message) && readImage(be, out, result))
        << job.name << ": " << message << " / " << be.lastError;
  }
  for (fm::Buffer* b : {&in[0], &in[1], &in[2], &out}) be.freeImage(*b);
  EXPECT_TRUE(be.flush()) << job.name << ": " << be.lastError;
  return result;
}

void expectSameOnTwoThreads(const std::vector<RenderJob>& jobs, const std::vector<HostImage>& alone,
                            const std::function<std::unique_ptr<fm::GpuBackendBase>(int thread)>& make) {
  const size_t half = jobs.size() / 2;
  std::vector<HostImage> got(jobs.size());
  auto work = [&](int thread) {
    std::unique_ptr<fm::GpuBackendBase> be = make(thread);
    for (size_t i = thread == 0 ? 0 : half; i < (thread == 0 ? half : jobs.size()); ++i)
      got[i] = renderOnGpu(*be, jobs[i]);
  };
  std::thread first(work, 0), second(work, 1);
  first.join();
  second.join();
  for (size_t i = 0; i < jobs.size(); ++i)
    EXPECT_EQ(firstDifference(alone[i], got[i]), "") << jobs[i].name << " on thread " << (i < half ? 0 : 1);
}

}  // namespace fmtest
