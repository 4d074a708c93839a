// The device's program object over the stand-in runtime: what is built, what is released, and
// what each failure says.
#include <string>

#include "engine/Backend.h"
#include "gpu/KernelTexts.h"
#include "tests/gpu/FakeRuntime.h"

namespace fakecl {
namespace {

using FakeProgram = FakeTest;

TEST_F(FakeProgram, BuildsTheEmbeddedTextWithOneKernelPerIdentifier) {
  {
    std::lock_guard<std::mutex> guard(fake->lock);
    EXPECT_EQ(fake->source, std::string(fm::openclKernelText(), fm::openclKernelTextSize()));
    EXPECT_EQ(fake->buildOptions, "");
    EXPECT_EQ(fake->buildDevices, 1u);
    ASSERT_EQ(fake->createdKernels.size(), size_t(FM_KERNEL_COUNT));
    for (int k = 0; k < FM_KERNEL_COUNT; ++k) EXPECT_EQ(fake->createdKernels[k], fm::kernelName(k));
    EXPECT_EQ(fake->liveKernels, FM_KERNEL_COUNT);
  }
  EXPECT_EQ(program->context, fakeContext());
  EXPECT_EQ(program->device, fakeDevice());
  fm::destroyOpenCLProgram(nullptr);  // ignored
}

TEST_F(FakeProgram, FailedBuildsSayWhyAndLeaveNothingBehind) {
  struct Case {
    const char* what;
    void (*inject)(Control&);
    std::string message;
  } cases[] = {
      {"program", [](Control& f) { f.failCreateProgram = true; }, "clCreateProgramWithSource failed"},
      {"build", [](Control& f) { f.buildLog = "<source>:12:3: error: use of undeclared identifier 'q'"; },
       "OpenCL build failed: <source>:12:3: error: use of undeclared identifier 'q'"},
      {"empty log", [](Control& f) { f.buildLog = " "; }, "OpenCL build failed:  "},
      {"kernel", [](Control& f) { f.missingKernel = "fm_mblur"; }, "clCreateKernel failed: fm_mblur"},
  };
  for (const Case& c : cases) {
    fake->reset();
    c.inject(*fake);
    std::string message;
    EXPECT_EQ(fm::buildOpenCLProgram(fakeContext(), fakeDevice(), &message), nullptr) << c.what;
    EXPECT_EQ(message, c.message) << c.what;
    EXPECT_EQ(fm::buildOpenCLProgram(fakeContext(), fakeDevice(), nullptr), nullptr) << c.what;
    std::lock_guard<std::mutex> guard(fake->lock);
    // Only the program object of SetUp is alive: every failure released what it made.
    EXPECT_EQ(fake->livePrograms, 1) << c.what;
    EXPECT_EQ(fake->liveKernels, FM_KERNEL_COUNT) << c.what;
  }
  std::lock_guard<std::mutex> guard(fake->lock);
  EXPECT_EQ(fake->createdKernels.size(), size_t(2 * FM_K_MBLUR));  // the kernels before fm_mblur, twice
}

}  // namespace
}  // namespace fakecl
