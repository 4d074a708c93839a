// The driver loader and the device's module object over the stand-in driver: what is loaded
// under which context, what each failure says, and that a driver is tried once per process.
#include <string>

#include "engine/Backend.h"
#include "gpu/CudaLoader.h"
#include "gpu/RuntimeLibrary.h"
#include "tests/gpu/FakeDriver.h"

namespace fakecu {
namespace {

using FakeCudaModule = FakeCudaTest;

std::vector<Call::Kind> kindsOf(const std::vector<Call>& calls) {
  std::vector<Call::Kind> kinds;
  for (const Call& c : calls) kinds.push_back(c.kind);
  return kinds;
}

TEST_F(FakeCudaModule, LoadsThePtxAndEveryFunctionUnderTheHostContext) {
  std::vector<Call> calls;
  {
    std::lock_guard<std::mutex> guard(fake->lock);
    calls = fake->calls;
  }
  // SetUp's load: push, load (the stand-in checked the PTX), one lookup per identifier in order, pop.
  ASSERT_EQ(calls.size(), size_t(3 + FM_KERNEL_COUNT));
  EXPECT_EQ(calls.front().kind, Call::kPush);
  EXPECT_EQ(calls.front().context, fakeContext());
  EXPECT_EQ(calls[1].kind, Call::kLoad);
  for (int k = 0; k < FM_KERNEL_COUNT; ++k) {
    EXPECT_EQ(calls[2 + k].kind, Call::kGetFunction);
    EXPECT_EQ(calls[2 + k].kernel, fm::kernelName(k));
    EXPECT_NE(module->functions[k], nullptr);
  }
  EXPECT_EQ(calls.back().kind, Call::kPop);
  for (size_t i = 1; i + 1 < calls.size(); ++i) EXPECT_EQ(calls[i].context, fakeContext()) << i;
  EXPECT_EQ(module->context, fakeContext());

  fake->reset();
  fm::destroyCudaModule(module);
  module = nullptr;
  const std::vector<Call> unload = callsOf(*fake, Call::kUnload);
  {
    std::lock_guard<std::mutex> guard(fake->lock);
    EXPECT_EQ(kindsOf(fake->calls), (std::vector<Call::Kind>{Call::kPush, Call::kUnload, Call::kPop}));
  }
  EXPECT_EQ(unload.at(0).context, fakeContext());
  fm::destroyCudaModule(nullptr);  // ignored
}

TEST_F(FakeCudaModule, FailedLoadsSayWhyAndLeaveNothingBehind) {
  struct Case {
    const char* what;
    void (*inject)(Control&);
    std::string message;
  } cases[] = {
      {"jit",
       [](Control& f) {
         f.failCall("cuModuleLoadDataEx", kInvalidPtx);
         f.jitLog = "ptxas application ptx input, line 12; error   : Unknown symbol 'fm_x'";
       },
       "cuModuleLoadDataEx failed 218: ptxas application ptx input, line 12; error   : Unknown symbol 'fm_x'"},
      {"jit without a log", [](Control& f) { f.failCall("cuModuleLoadDataEx", kOutOfMemory); },
       "cuModuleLoadDataEx failed 2: "},
      {"log filling the buffer",
       [](Control& f) {
         f.failCall("cuModuleLoadDataEx", kInvalidPtx);
         f.jitLog = std::string(5000, 'x');
       },
       "cuModuleLoadDataEx failed 218: " + std::string(4096, 'x')},
      {"function", [](Control& f) { f.missingFunction = "fm_mblur"; }, "cuModuleGetFunction failed: fm_mblur"},
      // Without the context the driver refuses the load; nothing is popped that was not pushed.
      {"push", [](Control& f) { f.failCall("cuCtxPushCurrent_v2", kInvalidContext); },
       "cuModuleLoadDataEx failed 201: "},
  };
  for (const Case& c : cases) {
    fake->reset();
    c.inject(*fake);
    std::string message;
    EXPECT_EQ(fm::loadCudaModule(fakeContext(), &message), nullptr) << c.what;
    EXPECT_EQ(message, c.message) << c.what;
    EXPECT_EQ(fm::loadCudaModule(fakeContext(), nullptr), nullptr) << c.what;
    EXPECT_TRUE(stackHere(*fake).empty()) << c.what;
    std::lock_guard<std::mutex> guard(fake->lock);
    EXPECT_EQ(fake->liveModules, 1) << c.what;  // SetUp's alone: every failure unloaded what it loaded
  }
  fake->reset();
}

// A host that keeps its context current itself passes none: nothing is pushed or popped, and the
// work runs in the context the host made current.
TEST_F(FakeCudaModule, ANullHostContextSkipsPushAndPop) {
  fm::CUcontext popped = nullptr;
  ASSERT_EQ(fm::cuda()->ctxPushCurrent(fakeContext(1)), 0);
  fake->reset();
  std::string message;
  fm::CudaModule* own = fm::loadCudaModule(nullptr, &message);
  ASSERT_NE(own, nullptr) << message;
  {
    fm::CudaBackend one(&allocator, own, fakeStream());
    EXPECT_TRUE(one.enterContext());
    fm::Buffer d = image(one, 8, 8);
    FMParams p = blockOf(d);
    EXPECT_TRUE(one.launch(FM_K_CLEAR, &d, nullptr, nullptr, nullptr, &p, 8, 8, 1.0)) << one.lastError;
    one.freeImage(d);
  }
  fm::destroyCudaModule(own);
  EXPECT_TRUE(callsOf(*fake, Call::kPush).empty());
  EXPECT_TRUE(callsOf(*fake, Call::kPop).empty());
  const std::vector<Call> launches = callsOf(*fake, Call::kLaunch);
  ASSERT_EQ(launches.size(), 1u);
  EXPECT_EQ(launches[0].result, 0);
  EXPECT_EQ(launches[0].context, fakeContext(1));
  EXPECT_EQ(callsOf(*fake, Call::kUnload).at(0).result, 0);
  EXPECT_EQ(fm::cuda()->ctxPopCurrent(&popped), 0);
}

// A driver that is missing, lacks an entry point or fails cuInit is no driver; nothing is tried
// again in this process, whatever library a test names afterwards.
void expectNotFoundForGood() {
  std::string message;
  EXPECT_EQ(fm::loadCudaModule(nullptr, &message), nullptr);
  EXPECT_EQ(message, "CUDA driver not found");
  EXPECT_EQ(fm::cuda(), nullptr);
  EXPECT_FALSE(fm::useCudaLibraryForTesting(libraryPath("fm_fake_cuda").c_str()));
  message.clear();
  EXPECT_EQ(fm::loadCudaModule(nullptr, &message), nullptr);
  EXPECT_EQ(message, "CUDA driver not found");
  EXPECT_EQ(fm::loadCuda(), nullptr);
  EXPECT_EQ(fm::cudaSymbol("fmFakeCuda"), nullptr);
  // Without a driver, what needs one refuses rather than crashes.
  fm::CUDirectAllocator direct;
  void* h = nullptr;
  EXPECT_FALSE(direct.allocate(16, &h));
  fm::CudaBackend be(&direct, nullptr, nullptr);
  EXPECT_FALSE(be.enterContext());
}

// The stand-in's controls, from the library opened as the product will open it.
Control* controlsOf(const char* variant) {
  void* library = fm::openRuntimeLibrary(libraryPath(variant).c_str());
  return reinterpret_cast<Control* (*)()>(fm::runtimeSymbol(library, "fmFakeCuda"))();
}

TEST(CudaDriverLoading, AMissingLibraryIsNotFound) {
  if (!fm::useCudaLibraryForTesting("/nonexistent/libcuda.so.1")) GTEST_SKIP() << "this process loaded CUDA";
  expectNotFoundForGood();
}

TEST(CudaDriverLoading, ADriverWithoutAnEntryPointIsNotFound) {
  if (!fm::useCudaLibraryForTesting(libraryPath("fm_fake_cuda_no_get_current").c_str()))
    GTEST_SKIP() << "this process loaded CUDA";
  expectNotFoundForGood();
  EXPECT_EQ(controlsOf("fm_fake_cuda_no_get_current")->initCalls, 0);
}

TEST(CudaDriverLoading, ADriverWhoseInitFailsIsNotFound) {
  if (!fm::useCudaLibraryForTesting(libraryPath("fm_fake_cuda").c_str())) GTEST_SKIP() << "this process loaded CUDA";
  Control* fake = controlsOf("fm_fake_cuda");
  fake->failCall("cuInit", 100);  // no device
  expectNotFoundForGood();
  EXPECT_EQ(fake->initCalls, 1);
}

}  // namespace
}  // namespace fakecu
