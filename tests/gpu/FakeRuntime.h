// fm::OpenCLBackend over the stand-in runtime. The product loads one OpenCL runtime per process,
// so every variant needs a process of its own: ctest runs each test of this executable alone, and
// a test that finds another variant already loaded skips.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "gpu/CLDirectAllocator.h"
#include "gpu/OpenCLBackend.h"
#include "tests/gpu/FakeOpenCL.h"
#include "tests/support/CountingGpuAllocator.h"

namespace fakecl {

// The path of the stand-in library `variant` (the CMake target's name).
std::string libraryPath(const char* variant);

// Objects the host would own; the stand-in only needs distinct non-null handles.
fm::cl_context fakeContext();
fm::cl_device_id fakeDevice();
fm::cl_command_queue fakeQueue(int index = 0);

// The calls of one kind, in order.
std::vector<Call> callsOf(Control& fake, Call::Kind kind);

// Every buffer goes back once, and only after a clFinish that follows the last kernel that used
// it; a buffer no kernel used (a table whose upload failed) may go back at once.
void expectReleaseDiscipline(Control& fake);

class FakeTest : public ::testing::Test {
 protected:
  // Loads `variant()`, builds the program object and starts each test with a clean record.
  void SetUp() override;
  // Destroys the backend, then checks that every handle came back by the rules and that the
  // program object left nothing behind.
  void TearDown() override;
  virtual const char* variant() const { return "fm_fake_opencl"; }

  // A backend on `queue` drawing from this test's counting allocator.
  std::unique_ptr<fm::OpenCLBackend> makeBackend(fm::cl_command_queue queue = fakeQueue());

  Control* fake = nullptr;
  fm::OpenCLProgram* program = nullptr;
  fm::CLDirectAllocator direct{fakeContext()};
  fmtest::CountingGpuAllocator allocator{direct};
  std::unique_ptr<fm::OpenCLBackend> be;
};

}  // namespace fakecl
