// fm::CudaBackend on the CUDA driver present, the PTX compiled by the driver for the device:
// every kind against the CPU, renders sharing the module across threads, and launches cut into
// many bands. Skipped without a driver unless one is expected (FM_REQUIRE_CUDA).
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "gpu/CUDirectAllocator.h"
#include "gpu/CudaBackend.h"
#include "tests/gpu/RenderJobs.h"
#include "tests/support/CountingGpuAllocator.h"
#include "tests/support/CudaDevice.h"

namespace {

using fmtest::HostImage;
using fmtest::RenderJob;

class CudaOnDevice : public ::testing::Test {
 protected:
  void SetUp() override { FM_REQUIRE_CUDA(); }

  void TearDown() override {
    for (fm::CUstream s : streams) fmtest::CudaDevice::get()->destroyStream(s);
    EXPECT_EQ(allocator.liveHandles(), 0);
    for (const std::string& f : allocator.faults) ADD_FAILURE() << f;
  }

  // A backend on a stream of its own, entered on the calling thread.
  std::unique_ptr<fm::GpuBackendBase> backend() {
    fmtest::CudaDevice* device = fmtest::CudaDevice::get();
    fm::CUstream stream = device->createStream();
    EXPECT_NE(stream, nullptr);
    {
      std::lock_guard<std::mutex> guard(lock);
      streams.push_back(stream);
    }
    auto made = std::make_unique<fm::CudaBackend>(&allocator, device->module, stream);
    EXPECT_TRUE(made->enterContext()) << made->lastError;
    return made;
  }

  std::vector<HostImage> renderAll(const std::vector<RenderJob>& jobs, double bandBudget = 6e7) {
    std::unique_ptr<fm::GpuBackendBase> be = backend();
    be->bandBudget = bandBudget;
    std::vector<HostImage> out;
    for (const RenderJob& job : jobs) out.push_back(fmtest::renderOnGpu(*be, job));
    return out;
  }

  fm::CUDirectAllocator direct;
  fmtest::CountingGpuAllocator allocator{direct};
  std::mutex lock;
  std::vector<fm::CUstream> streams;
};

TEST_F(CudaOnDevice, EveryKindMatchesTheCpuRender) {
  const std::vector<RenderJob> jobs = fmtest::everyKind();
  const std::vector<HostImage> got = renderAll(jobs);
  for (size_t i = 0; i < jobs.size(); ++i)
    EXPECT_EQ(fmtest::firstDifference(fmtest::renderOnCpu(jobs[i]), got[i], jobs[i].tolerance, jobs[i].tolerance), "")
        << jobs[i].name;
}

TEST_F(CudaOnDevice, TwoRenderThreadsSharingTheModuleGiveThePixelsOfOneAfterTheOther) {
  const std::vector<RenderJob> jobs = fmtest::everyKind();
  const std::vector<HostImage> alone = renderAll(jobs);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    fmtest::expectSameOnTwoThreads(jobs, alone, [this](int) { return backend(); });
  }
}

// Each band gets its own first row: bands of a few rows must not change a bit.
TEST_F(CudaOnDevice, LaunchesCutIntoBandsOfAFewRowsGiveTheSamePixels) {
  const std::vector<RenderJob> jobs = fmtest::everyKind();
  const std::vector<HostImage> whole = renderAll(jobs), banded = renderAll(jobs, 5.0 * 64);
  for (size_t i = 0; i < jobs.size(); ++i) EXPECT_EQ(fmtest::firstDifference(whole[i], banded[i]), "") << jobs[i].name;
}

}  // namespace
