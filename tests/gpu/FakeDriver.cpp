#include "tests/gpu/FakeDriver.h"

#include "gpu/CudaLoader.h"

namespace fakecu {
namespace {

char gHandles[16];

}  // namespace

std::string libraryPath(const char* variant) { return std::string(FM_FAKE_CUDA_DIR "/lib") + variant + ".so"; }

fm::CUcontext fakeContext(int index) { return reinterpret_cast<fm::CUcontext>(&gHandles[index]); }
fm::CUstream fakeStream(int index) { return reinterpret_cast<fm::CUstream>(&gHandles[8 + index]); }

std::vector<Call> callsOf(Control& fake, Call::Kind kind) {
  std::lock_guard<std::mutex> guard(fake.lock);
  std::vector<Call> out;
  for (const Call& c : fake.calls)
    if (c.kind == kind) out.push_back(c);
  return out;
}

std::vector<fm::CUcontext> stackHere(Control& fake) {
  std::lock_guard<std::mutex> guard(fake.lock);
  auto it = fake.stacks.find(std::this_thread::get_id());
  return it == fake.stacks.end() ? std::vector<fm::CUcontext>() : it->second;
}

fm::Buffer image(fm::GpuBackendBase& be, int w, int h) {
  fm::Buffer b;
  EXPECT_TRUE(be.allocImage(b, w, h)) << be.lastError;
  return b;
}

FMParams blockOf(const fm::Buffer& dst) {
  FMParams p;
  fm::makeParams(p, &dst, nullptr, nullptr);
  return p;
}

void FakeCudaTest::SetUp() {
  fm::useCudaLibraryForTesting(libraryPath(variant()).c_str());
  if (fm::loadCuda()) fake = reinterpret_cast<Control* (*)()>(fm::cudaSymbol("fmFakeCuda"))();
  if (!fake || std::string(fake->variant) != variant())
    GTEST_SKIP() << "this process loaded another CUDA driver; ctest runs each test in its own process";
  fake->reset();
  std::string message;
  module = fm::loadCudaModule(fakeContext(), &message);
  ASSERT_NE(module, nullptr) << message;
}

void FakeCudaTest::TearDown() {
  if (!fake) return;
  be.reset();
  fm::destroyCudaModule(module);
  EXPECT_EQ(allocator.liveHandles(), 0);
  for (const std::string& f : allocator.faults) ADD_FAILURE() << f;
  EXPECT_TRUE(stackHere(*fake).empty());
  EXPECT_TRUE(callsOf(*fake, Call::kGetCurrent).empty());
  std::lock_guard<std::mutex> guard(fake->lock);
  for (const std::string& f : fake->faults) ADD_FAILURE() << f;
  EXPECT_EQ(fake->liveAllocations, 0);
  EXPECT_EQ(fake->liveModules, 0);
}

std::unique_ptr<fm::CudaBackend> FakeCudaTest::makeBackend(fm::CUstream stream) {
  auto made = std::make_unique<fm::CudaBackend>(&allocator, module, stream);
  EXPECT_TRUE(made->enterContext()) << made->lastError;
  return made;
}

}  // namespace fakecu
