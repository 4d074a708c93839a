// Runtimes that lack entry points, and no runtime at all. Each test needs a process of its own:
// the product tries loading once per process.
#include <string>

#include "gpu/OpenCLLoader.h"
#include "tests/gpu/FakeRuntime.h"

namespace fakecl {
namespace {

// What follows each kernel on the queue (the properties query queues nothing).
std::vector<Call::Kind> afterKernels(Control& fake) {
  std::lock_guard<std::mutex> guard(fake.lock);
  std::vector<Call::Kind> queued, kinds;
  for (const Call& c : fake.calls)
    if (c.kind != Call::kQueueInfo) queued.push_back(c.kind);
  for (size_t i = 0; i + 1 < queued.size(); ++i)
    if (queued[i] == Call::kKernel) kinds.push_back(queued[i + 1]);
  return kinds;
}

// Two launches on an out-of-order queue.
void launchTwice(fm::OpenCLBackend& be, Control& fake) {
  fake.queueProperties = fm::kClQueueOutOfOrderExecModeEnable;
  fm::Buffer d;
  ASSERT_TRUE(be.allocImage(d, 8, 8));
  FMParams p;
  fm::makeParams(p, &d, nullptr, nullptr);
  EXPECT_TRUE(be.launch(FM_K_CLEAR, &d, nullptr, nullptr, nullptr, &p, 8, 8, 1.0));
  EXPECT_TRUE(be.launch(FM_K_CLEAR, &d, nullptr, nullptr, nullptr, &p, 8, 8, 1.0));
  be.freeImage(d);
}

class WithoutQueueInfo : public FakeTest {
  const char* variant() const override { return "fm_fake_opencl_no_queue_info"; }
};

TEST_F(WithoutQueueInfo, TheQueueCountsAsInOrder) {
  be = makeBackend();
  launchTwice(*be, *fake);
  EXPECT_EQ(afterKernels(*fake), (std::vector<Call::Kind>{Call::kKernel}));  // no barrier anywhere
  EXPECT_TRUE(callsOf(*fake, Call::kBarrier).empty());
  EXPECT_TRUE(callsOf(*fake, Call::kOldBarrier).empty());
}

class WithTheOlderBarrier : public FakeTest {
  const char* variant() const override { return "fm_fake_opencl_old_barrier"; }
};

TEST_F(WithTheOlderBarrier, BarriersUseIt) {
  be = makeBackend();
  launchTwice(*be, *fake);
  EXPECT_EQ(afterKernels(*fake), (std::vector<Call::Kind>{Call::kOldBarrier, Call::kOldBarrier}));
  fake->barrierError = -36;
  fm::Buffer d;
  ASSERT_TRUE(be->allocImage(d, 8, 8));
  FMParams p;
  fm::makeParams(p, &d, nullptr, nullptr);
  EXPECT_FALSE(be->launch(FM_K_CLEAR, &d, nullptr, nullptr, nullptr, &p, 8, 8, 1.0));
  EXPECT_EQ(be->lastError, "clEnqueueBarrier");
  be->freeImage(d);
}

class WithoutBarriers : public FakeTest {
  const char* variant() const override { return "fm_fake_opencl_no_barrier"; }
};

TEST_F(WithoutBarriers, AFinishStandsInForThem) {
  be = makeBackend();
  launchTwice(*be, *fake);
  EXPECT_EQ(afterKernels(*fake), (std::vector<Call::Kind>{Call::kFinish, Call::kFinish}));
}

// A runtime without clFinish is no runtime; neither is a missing library. Either way, nothing
// is tried again in this process, whatever library a test names afterwards.
void expectNotFoundForGood(const char* library) {
  if (!fm::useOpenCLLibraryForTesting(library)) GTEST_SKIP() << "this process already loaded OpenCL";
  std::string message;
  EXPECT_EQ(fm::buildOpenCLProgram(fakeContext(), fakeDevice(), &message), nullptr);
  EXPECT_EQ(message, "OpenCL not found");
  EXPECT_EQ(fm::openCL(), nullptr);
  EXPECT_FALSE(fm::useOpenCLLibraryForTesting(libraryPath("fm_fake_opencl").c_str()));
  message.clear();
  EXPECT_EQ(fm::buildOpenCLProgram(fakeContext(), fakeDevice(), &message), nullptr);
  EXPECT_EQ(message, "OpenCL not found");
  EXPECT_EQ(fm::loadOpenCL(), nullptr);
  EXPECT_EQ(fm::openCLSymbol("fmFakeOpenCL"), nullptr);
  // Without a runtime, what needs one refuses rather than crashes.
  fm::CLDirectAllocator direct(fakeContext());
  void* h = nullptr;
  EXPECT_FALSE(direct.allocate(16, &h));
  fm::destroyOpenCLProgram(nullptr);
}

TEST(RuntimeLoading, ARuntimeWithoutARequiredEntryPointIsNotFound) {
  expectNotFoundForGood(libraryPath("fm_fake_opencl_no_finish").c_str());
}

TEST(RuntimeLoading, AMissingLibraryIsNotFound) { expectNotFoundForGood("/nonexistent/libOpenCL.so.1"); }

}  // namespace
}  // namespace fakecl
