// fm::CudaBackend over the stand-in driver. The product loads one driver per process, so each test
// runs in a process of its own (ctest runs them so); a test that finds another driver loaded skips.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "gpu/CUDirectAllocator.h"
#include "gpu/CudaBackend.h"
#include "tests/gpu/FakeCuda.h"
#include "tests/support/CountingGpuAllocator.h"

namespace fakecu {

// The path of the stand-in library `variant` (the CMake target's name).
std::string libraryPath(const char* variant);

// Objects the host would own; the stand-in only needs distinct non-null handles.
fm::CUcontext fakeContext(int index = 0);
fm::CUstream fakeStream(int index = 0);

std::vector<Call> callsOf(Control& fake, Call::Kind kind);
// The contexts pushed on the calling thread, innermost last.
std::vector<fm::CUcontext> stackHere(Control& fake);

// An image of the backend's; a block for a launch over it.
fm::Buffer image(fm::GpuBackendBase& be, int w, int h);
FMParams blockOf(const fm::Buffer& dst);

class FakeCudaTest : public ::testing::Test {
 protected:
  // Loads `variant()`, loads the module under fakeContext() and starts each test with a clean record.
  void SetUp() override;
  // Destroys the backend and the module, then checks that the stand-in saw no misuse (a release
  // twice, or before queued work that used the memory ran), that nothing is left allocated or
  // loaded, and that this thread's pushes were all popped.
  void TearDown() override;
  virtual const char* variant() const { return "fm_fake_cuda"; }

  // A backend on `stream` whose context is entered on this thread, drawing from the counting
  // allocator.
  std::unique_ptr<fm::CudaBackend> makeBackend(fm::CUstream stream = fakeStream());

  Control* fake = nullptr;
  fm::CudaModule* module = nullptr;
  fm::CUDirectAllocator direct;
  fmtest::CountingGpuAllocator allocator{direct};
  std::unique_ptr<fm::CudaBackend> be;
};

}  // namespace fakecu
