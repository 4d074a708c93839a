#include "tests/gpu/FakeRuntime.h"

#include <map>

#include "gpu/OpenCLLoader.h"

namespace fakecl {
namespace {

char gHandles[8];

}  // namespace

std::string libraryPath(const char* variant) { return std::string(FM_FAKE_OPENCL_DIR "/lib") + variant + ".so"; }

fm::cl_context fakeContext() { return reinterpret_cast<fm::cl_context>(&gHandles[0]); }
fm::cl_device_id fakeDevice() { return reinterpret_cast<fm::cl_device_id>(&gHandles[1]); }
fm::cl_command_queue fakeQueue(int index) { return reinterpret_cast<fm::cl_command_queue>(&gHandles[2 + index]); }

std::vector<Call> callsOf(Control& fake, Call::Kind kind) {
  std::lock_guard<std::mutex> guard(fake.lock);
  std::vector<Call> out;
  for (const Call& c : fake.calls)
    if (c.kind == kind) out.push_back(c);
  return out;
}

void expectReleaseDiscipline(Control& fake) {
  std::lock_guard<std::mutex> guard(fake.lock);
  std::map<fm::cl_mem, size_t> lastUse;
  size_t lastFinish = SIZE_MAX;
  for (size_t i = 0; i < fake.calls.size(); ++i) {
    const Call& c = fake.calls[i];
    if (c.kind == Call::kKernel && c.result == 0) {
      for (fm::cl_mem m : c.args) lastUse[m] = i;
    } else if (c.kind == Call::kFinish) {
      lastFinish = i;
    } else if (c.kind == Call::kRelease) {
      auto use = lastUse.find(c.mem);
      if (use != lastUse.end()) {
        EXPECT_TRUE(lastFinish != SIZE_MAX && lastFinish > use->second)
            << "call " << i << " releases a buffer that kernel call " << use->second << " may still use";
        lastUse.erase(use);
      }
    }
  }
}

void FakeTest::SetUp() {
  fm::useOpenCLLibraryForTesting(libraryPath(variant()).c_str());
  if (fm::loadOpenCL()) fake = reinterpret_cast<Control* (*)()>(fm::openCLSymbol("fmFakeOpenCL"))();
  if (!fake || std::string(fake->variant) != variant())
    GTEST_SKIP() << "this process loaded another OpenCL runtime; ctest runs each test in its own process";
  fake->reset();
  std::string message;
  program = fm::buildOpenCLProgram(fakeContext(), fakeDevice(), &message);
  ASSERT_NE(program, nullptr) << message;
}

void FakeTest::TearDown() {
  if (!fake) return;
  be.reset();
  fm::destroyOpenCLProgram(program);
  EXPECT_EQ(allocator.liveHandles(), 0);
  for (const std::string& f : allocator.faults) ADD_FAILURE() << f;
  expectReleaseDiscipline(*fake);
  std::lock_guard<std::mutex> guard(fake->lock);
  for (const std::string& f : fake->faults) ADD_FAILURE() << f;
  EXPECT_EQ(fake->liveBuffers, 0);
  EXPECT_EQ(fake->liveKernels, 0);
  EXPECT_EQ(fake->livePrograms, 0);
}

std::unique_ptr<fm::OpenCLBackend> FakeTest::makeBackend(fm::cl_command_queue queue) {
  return std::make_unique<fm::OpenCLBackend>(&allocator, program, queue);
}

}  // namespace fakecl
