// fm::OpenCLBackend and its base over the stand-in runtime: the arguments and ranges each enqueue
// captures, bands, barriers, messages, the failure latch, and when device memory goes back.
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

#include "tests/gpu/FakeRuntime.h"

namespace fakecl {
namespace {

using FakeBackend = FakeTest;

fm::Buffer image(fm::GpuBackendBase& be, int w, int h) {
  fm::Buffer b;
  EXPECT_TRUE(be.allocImage(b, w, h));
  return b;
}

FMParams blockOf(const fm::Buffer& dst) {
  FMParams p;
  fm::makeParams(p, &dst, nullptr, nullptr);
  return p;
}

fm::cl_mem mem(const void* handle) { return static_cast<fm::cl_mem>(const_cast<void*>(handle)); }

TEST_F(FakeBackend, EachEnqueueCapturesTheFourHandlesAndTheBlockByValue) {
  be = makeBackend();
  fm::Buffer d = image(*be, 40, 30), a = image(*be, 40, 30), b = image(*be, 8, 8);
  fm::Table t;
  const float taps[3] = {0.25f, 0.5f, 0.25f};
  ASSERT_TRUE(be->uploadTable(t, taps, 3));
  FMParams p = blockOf(d);
  p.g3 = 7.5f;
  p.t[95] = -1.0f;
  ASSERT_TRUE(be->launch(FM_K_COPY, &d, &a, nullptr, nullptr, &p, 40, 30, 1.0));
  ASSERT_TRUE(be->launch(FM_K_CONV_ROWS, &d, &a, nullptr, &t, &p, 40, 30, 1.0));
  ASSERT_TRUE(be->launch(FM_K_FLOW_EDGES, &d, nullptr, &b, nullptr, &p, 40, 30, 1.0));
  fm::Buffer absent;  // a handle with no memory counts as absent
  ASSERT_TRUE(be->launch(FM_K_CLEAR, &d, &absent, &absent, nullptr, &p, 40, 30, 1.0));
  const std::vector<Call> k = callsOf(*fake, Call::kKernel);
  ASSERT_EQ(k.size(), 4u);
  const fm::cl_mem D = mem(d.data), A = mem(a.data), B = mem(b.data), T = mem(t.data);
  const fm::cl_mem want[4][4] = {{D, A, D, D}, {D, A, D, T}, {D, D, B, D}, {D, D, D, D}};
  const char* names[4] = {"fm_copy", "fm_conv_rows", "fm_flow_edges", "fm_clear"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(k[i].kernel, names[i]);
    for (int arg = 0; arg < 4; ++arg) EXPECT_EQ(k[i].args[arg], want[i][arg]) << names[i] << " argument " << arg;
    EXPECT_EQ(k[i].dimensions, 2u);
    EXPECT_EQ(k[i].global[0], 40u);
    EXPECT_EQ(k[i].global[1], 30u);
    EXPECT_FALSE(k[i].withOffset);
    EXPECT_FALSE(k[i].withLocal);
    EXPECT_EQ(std::memcmp(&k[i].block, &p, sizeof p), 0) << names[i];
  }
  for (fm::Buffer* x : {&d, &a, &b}) be->freeImage(*x);
  be->freeTable(t);
}

TEST_F(FakeBackend, LaunchesSplitIntoBandsOfTheBudget) {
  be = makeBackend();
  fm::Buffer d = image(*be, 1, 1);
  // A tall image wrapped rather than allocated: the stand-in runs nothing, so only the bands count.
  fm::Buffer tall = d;
  tall.height = 1000000000;
  tall.owned = false;
  FMParams p = blockOf(tall);
  const FMParams before = p;
  ASSERT_TRUE(be->launch(FM_K_CLEAR, &tall, nullptr, nullptr, nullptr, &p, 1, tall.height, 1.0));
  EXPECT_EQ(std::memcmp(&p, &before, sizeof p), 0);
  std::vector<Call> k = callsOf(*fake, Call::kKernel);
  ASSERT_EQ(k.size(), 17u);
  for (size_t i = 0; i < k.size(); ++i) {
    const size_t rows = i < 16 ? 60000000 : 40000000;
    EXPECT_EQ(k[i].global[1], rows) << i;
    EXPECT_EQ(k[i].block.y0, int(i * 60000000)) << i;
    EXPECT_EQ(k[i].block.y1, int(i * 60000000 + rows)) << i;
  }
  // A caller's y1 below the grid ends every band there; the published examples of the budget.
  struct Case {
    int gridW, gridH, y1;
    double cost;
    int perBand;
  } cases[] = {{4000, 8000, 8000, 4.0, 3750},
               {8000, 200, 120, 100.0, 75},
               {1000, 500, 500, std::numeric_limits<double>::quiet_NaN(), 500},
               {7, 5, 5, 1e300, 1}};
  for (const Case& c : cases) {
    fake->reset();
    p.y1 = c.y1;
    ASSERT_TRUE(be->launch(FM_K_CLEAR, &tall, nullptr, nullptr, nullptr, &p, c.gridW, c.gridH, c.cost));
    k = callsOf(*fake, Call::kKernel);
    ASSERT_EQ(k.size(), size_t((c.gridH + c.perBand - 1) / c.perBand)) << c.gridW;
    for (size_t i = 0; i < k.size(); ++i) {
      EXPECT_EQ(k[i].global[0], size_t(c.gridW));
      EXPECT_EQ(k[i].block.y0, int(i) * c.perBand);
      EXPECT_EQ(k[i].block.y1, std::min<int>(int(i + 1) * c.perBand, std::min(c.gridH, c.y1)));
    }
  }
  be->freeImage(d);
}

TEST_F(FakeBackend, FailedEnqueuesSayWhichCallFailedAndLatch) {
  struct Case {
    void (*inject)(Control&);
    const char* message;
    size_t enqueues;  // reached before the failure
  } cases[] = {
      {[](Control& f) { f.setKernelArgError = -51; }, "clSetKernelArg", 0},
      {[](Control& f) { f.enqueueError = -5; }, "clEnqueueNDRangeKernel -5", 1},
      {[](Control& f) { f.enqueueError = -54, f.enqueueFailAt = 2; }, "clEnqueueNDRangeKernel -54", 2},
      {[](Control& f) { f.queueProperties = fm::kClQueueOutOfOrderExecModeEnable, f.barrierError = -36; },
       "clEnqueueBarrier", 1},
  };
  for (const Case& c : cases) {
    fake->reset();
    std::unique_ptr<fm::OpenCLBackend> one = makeBackend();
    fm::Buffer d = image(*one, 64, 64);
    one->bandBudget = 64 * 32;  // two bands
    FMParams p = blockOf(d);
    c.inject(*fake);
    EXPECT_FALSE(one->launch(FM_K_CLEAR, &d, nullptr, nullptr, nullptr, &p, 64, 64, 1.0)) << c.message;
    EXPECT_EQ(one->lastError, c.message);
    EXPECT_EQ(callsOf(*fake, Call::kKernel).size(), c.enqueues) << c.message;
    fake->reset();
    // Latched: nothing more is enqueued, not even an empty launch succeeds; memory still comes.
    EXPECT_FALSE(one->launch(FM_K_CLEAR, &d, nullptr, nullptr, nullptr, &p, 0, 0, 1.0));
    EXPECT_FALSE(one->launch(FM_K_CLEAR, &d, nullptr, nullptr, nullptr, &p, 64, 64, 1.0));
    EXPECT_TRUE(callsOf(*fake, Call::kKernel).empty());
    fm::Buffer more = image(*one, 8, 8);
    one->freeImage(more);
    one->freeImage(d);
  }
}

TEST_F(FakeBackend, RefusedLaunchesEnqueueNothing) {
  be = makeBackend();
  fm::Buffer d = image(*be, 8, 8);
  FMParams p = blockOf(d);
  EXPECT_TRUE(be->launch(FM_KERNEL_COUNT, &d, nullptr, nullptr, nullptr, &p, 8, 0, 1.0));  // empty grid first
  EXPECT_FALSE(be->launch(FM_KERNEL_COUNT, &d, nullptr, nullptr, nullptr, &p, 8, 8, 1.0));
  EXPECT_FALSE(be->launch(-1, &d, nullptr, nullptr, nullptr, &p, 8, 8, 1.0));
  EXPECT_TRUE(callsOf(*fake, Call::kKernel).empty());
  // Without a destination the device refuses the work: a device failure, latched.
  EXPECT_FALSE(be->launch(FM_K_CLEAR, nullptr, nullptr, nullptr, nullptr, &p, 8, 8, 1.0));
  EXPECT_FALSE(be->launch(FM_K_CLEAR, &d, nullptr, nullptr, nullptr, &p, 8, 8, 1.0));
  EXPECT_TRUE(callsOf(*fake, Call::kKernel).empty());
  be->freeImage(d);
}

// Barriers per queue kind: none in order; on an out-of-order queue, and on one whose properties
// cannot be read, one as soon as that is known and one after every kernel and table write.
TEST_F(FakeBackend, OutOfOrderQueuesGetABarrierAfterEveryCommand) {
  struct Case {
    fm::cl_command_queue_properties properties;
    bool queryFails;
    size_t barriers;
  } cases[] = {{0, false, 0}, {fm::kClQueueOutOfOrderExecModeEnable, false, 1 + 3 + 1}, {2, false, 0},
               {0, true, 1 + 3 + 1}};
  const float values[2] = {1, 2};
  for (const Case& c : cases) {
    fake->reset();
    fake->queueProperties = c.properties;
    fake->queueInfoFails = c.queryFails;
    std::unique_ptr<fm::OpenCLBackend> one = makeBackend();
    fm::Buffer d = image(*one, 16, 16);
    FMParams p = blockOf(d);
    fm::Table t, none;
    ASSERT_TRUE(one->launch(FM_K_CLEAR, &d, nullptr, nullptr, nullptr, &p, 16, 16, 1.0));
    ASSERT_TRUE(one->uploadTable(t, values, 2));
    ASSERT_TRUE(one->uploadTable(none, nullptr, 0));  // nothing written, so no barrier
    ASSERT_TRUE(one->launch(FM_K_COPY, &d, &d, nullptr, &t, &p, 16, 16, 1.0));
    ASSERT_TRUE(one->launch(FM_K_COPY, &d, &d, nullptr, &t, &p, 16, 16, 1.0));
    EXPECT_EQ(callsOf(*fake, Call::kBarrier).size(), c.barriers) << c.properties << " " << c.queryFails;
    EXPECT_EQ(callsOf(*fake, Call::kQueueInfo).size(), 1u);  // asked once per backend
    if (c.barriers) {
      // Each kernel and write is followed by its barrier before anything else is queued.
      std::vector<Call::Kind> queued;
      std::lock_guard<std::mutex> guard(fake->lock);
      for (const Call& call : fake->calls)
        if (call.kind != Call::kQueueInfo && call.kind != Call::kCreateBuffer) queued.push_back(call.kind);
      for (size_t i = 0; i < queued.size(); ++i) {
        if (queued[i] == Call::kKernel || queued[i] == Call::kWrite) {
          EXPECT_TRUE(i + 1 < queued.size() && queued[i + 1] == Call::kBarrier) << i;
        }
      }
    }
    one->freeTable(t);
    one->freeTable(none);
    one->freeImage(d);
  }
}

TEST_F(FakeBackend, ImagesArePitchedTo32PixelsAndRefusedPastTwoToThe34Bytes) {
  be = makeBackend();
  fm::Buffer a = image(*be, 33, 1), b = image(*be, 32, 1);
  EXPECT_EQ(a.pitch, 64);
  EXPECT_EQ(b.pitch, 32);
  EXPECT_TRUE(a.owned);
  fm::Buffer edge = image(*be, 1 << 20, 1 << 10);  // exactly 2^34 bytes
  EXPECT_EQ(allocator.requestSizes, (std::vector<size_t>{64 * 16, 32 * 16, size_t(1) << 34}));
  fm::Buffer refused;
  EXPECT_FALSE(be->allocImage(refused, (1 << 20) - 31, (1 << 10) + 1));
  EXPECT_FALSE(be->allocImage(refused, std::numeric_limits<int>::max(), std::numeric_limits<int>::max()));
  EXPECT_FALSE(be->allocImage(refused, 0, 5));
  EXPECT_FALSE(be->allocImage(refused, 5, -1));
  EXPECT_EQ(allocator.requests, 3);  // refused sizes never reach the allocator
  EXPECT_EQ(refused.data, nullptr);
  for (fm::Buffer* x : {&a, &b, &edge}) be->freeImage(*x);
}

TEST_F(FakeBackend, AnAllocationThatFailsWhileReleasesArePendingRetriesAfterFinish) {
  be = makeBackend();
  fake->memoryBudget = 2 * 64 * 16;
  fm::Buffer a = image(*be, 33, 1), b = image(*be, 33, 1);
  be->freeImage(a);
  fm::Buffer c;
  fake->reset();
  fake->memoryBudget = 2 * 64 * 16;
  ASSERT_TRUE(be->allocImage(c, 40, 1));
  std::vector<Call> order;
  {
    std::lock_guard<std::mutex> guard(fake->lock);
    order = fake->calls;
  }
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order[0].kind, Call::kCreateBuffer);
  EXPECT_NE(order[0].result, 0);
  EXPECT_EQ(order[1].kind, Call::kFinish);
  EXPECT_EQ(order[2].kind, Call::kRelease);
  EXPECT_EQ(order[3].kind, Call::kCreateBuffer);
  EXPECT_EQ(order[3].result, 0);
  // The list is empty now: a flush gives nothing back twice (the allocator would say so).
  EXPECT_TRUE(be->flush());
  EXPECT_EQ(allocator.releases, 1);

  // With nothing pending there is nothing to wait for: the allocation fails at once.
  fake->reset();
  fake->memoryBudget = 2 * 64 * 16;
  fm::Buffer d;
  EXPECT_FALSE(be->allocImage(d, 33, 1));
  EXPECT_EQ(be->lastError, "device memory");
  EXPECT_TRUE(callsOf(*fake, Call::kFinish).empty());
  // Not a device failure: launches still run.
  FMParams p = blockOf(b);
  EXPECT_TRUE(be->launch(FM_K_CLEAR, &b, nullptr, nullptr, nullptr, &p, 33, 1, 1.0));

  // A retry whose finish fails returns the pending memory anyway and latches the failure.
  be->freeImage(c);
  fake->finishError = -5;
  EXPECT_FALSE(be->allocImage(d, 33, 1));
  EXPECT_EQ(callsOf(*fake, Call::kRelease).size(), 1u);
  EXPECT_FALSE(be->launch(FM_K_CLEAR, &b, nullptr, nullptr, nullptr, &p, 0, 0, 1.0));
  fake->finishError = 0;
  be->freeImage(b);
}

TEST_F(FakeBackend, TablesTakeSixteenBytesAtLeastAndAFailedUploadGivesItsMemoryBackAtOnce) {
  be = makeBackend();
  const float values[5] = {1, 2, 3, 4, 5};
  fm::Table empty, three, five;
  ASSERT_TRUE(be->uploadTable(empty, nullptr, 0));
  ASSERT_TRUE(be->uploadTable(three, values, 3));
  ASSERT_TRUE(be->uploadTable(five, values, 5));
  EXPECT_EQ(allocator.requestSizes, (std::vector<size_t>{16, 16, 20}));
  EXPECT_NE(empty.data, nullptr);
  EXPECT_EQ(empty.count, 0u);
  const std::vector<Call> writes = callsOf(*fake, Call::kWrite);
  ASSERT_EQ(writes.size(), 2u);  // the empty table copies nothing
  EXPECT_EQ(writes[0].bytes, 12u);
  EXPECT_EQ(writes[1].bytes, 20u);

  fm::Table failed;
  fake->memoryBudget = 0;
  EXPECT_FALSE(be->uploadTable(failed, values, 5));
  EXPECT_EQ(be->lastError, "device memory (table)");
  fake->memoryBudget = SIZE_MAX;
  fake->writeError = -5;
  be->lastError = "earlier";
  const int releasesBefore = allocator.releases;
  EXPECT_FALSE(be->uploadTable(failed, values, 5));
  EXPECT_EQ(allocator.releases, releasesBefore + 1);  // at once, before any finish
  EXPECT_TRUE(callsOf(*fake, Call::kFinish).empty());
  EXPECT_EQ(be->lastError, "earlier");  // a failed write leaves the message as it was
  EXPECT_EQ(failed.data, nullptr);
  for (fm::Table* t : {&empty, &three, &five}) be->freeTable(*t);
}

TEST_F(FakeBackend, ReleasesWaitForAFinish) {
  be = makeBackend();
  fm::Buffer a = image(*be, 8, 8);
  fm::Table t;
  ASSERT_TRUE(be->uploadTable(t, nullptr, 0));
  FMParams p = blockOf(a);
  ASSERT_TRUE(be->launch(FM_K_CLEAR, &a, nullptr, nullptr, &t, &p, 8, 8, 1.0));
  fm::Buffer wrapped = a;
  wrapped.owned = false;
  be->freeImage(wrapped);  // not ours to give back
  be->freeImage(a);
  be->freeTable(t);
  be->freeImage(a);
  be->freeTable(t);
  EXPECT_EQ(a.data, nullptr);
  EXPECT_EQ(a.width, 0);
  EXPECT_EQ(t.data, nullptr);
  EXPECT_EQ(allocator.releases, 0);
  EXPECT_TRUE(be->flush());
  EXPECT_EQ(allocator.releases, 2);

  // The destructor finishes before it gives back, even after a failed flush.
  fm::Buffer b = image(*be, 8, 8);
  be->freeImage(b);
  fake->finishError = -36;
  EXPECT_FALSE(be->flush());
  EXPECT_EQ(allocator.releases, 3);
  EXPECT_FALSE(be->launch(FM_K_CLEAR, &a, nullptr, nullptr, nullptr, &p, 0, 0, 1.0));
  fake->finishError = 0;
  fm::Buffer c = image(*be, 8, 8);
  be->freeImage(c);
  be.reset();
  const std::vector<Call> tail = callsOf(*fake, Call::kFinish);
  EXPECT_EQ(allocator.releases, 4);
  EXPECT_EQ(allocator.liveHandles(), 0);
  EXPECT_GE(tail.size(), 3u);
}

TEST_F(FakeBackend, WholeImagesGoInAndOutAfterTheQueueFinishes) {
  be = makeBackend();
  fm::Buffer d = image(*be, 3, 2);
  std::vector<float> in(size_t(d.pitch) * 2 * 4), out(in.size());
  for (size_t i = 0; i < in.size(); ++i) in[i] = float(i);
  ASSERT_TRUE(be->writeImage(d, in.data()));
  ASSERT_TRUE(be->download(d, out.data()));
  EXPECT_EQ(in, out);
  std::vector<Call> io;
  {
    std::lock_guard<std::mutex> guard(fake->lock);
    io = fake->calls;
  }
  ASSERT_EQ(io.size(), 5u);  // create, finish, write, finish, read
  EXPECT_EQ(io[1].kind, Call::kFinish);
  EXPECT_EQ(io[2].bytes, size_t(32 * 2 * 16));
  EXPECT_EQ(io[3].kind, Call::kFinish);
  EXPECT_FALSE(be->download(d, nullptr));
  fm::Buffer none;
  EXPECT_FALSE(be->readImage(none, out.data()));
  EXPECT_FALSE(be->writeImage(none, in.data()));
  fake->finishError = -36;  // a device error before the copy: no copy
  EXPECT_FALSE(be->readImage(d, out.data()));
  EXPECT_FALSE(be->writeImage(d, in.data()));
  EXPECT_EQ(callsOf(*fake, Call::kRead).size(), 1u);
  EXPECT_EQ(be->lastError, "");  // copies and waits leave the message alone
  fake->finishError = 0;
  be->freeImage(d);
}

// Renders on two threads share the program's kernel objects; each enqueue must capture the
// arguments its own thread set.
TEST_F(FakeBackend, TwoRenderThreadsNeverMixTheirKernelArguments) {
  auto work = [this](int q) {
    std::unique_ptr<fm::OpenCLBackend> one = makeBackend(fakeQueue(q));
    fm::Buffer d = image(*one, 32, 4);
    FMParams p = blockOf(d);
    for (int i = 0; i < 3000; ++i) {
      p.g1 = float(q);
      EXPECT_TRUE(one->launch(FM_K_COPY, &d, &d, nullptr, nullptr, &p, 32, 4, 1.0));
    }
    one->freeImage(d);
  };
  std::thread first(work, 1), second(work, 2);
  first.join();
  second.join();
  const std::vector<Call> k = callsOf(*fake, Call::kKernel);
  ASSERT_EQ(k.size(), 6000u);
  for (const Call& c : k) EXPECT_EQ(c.block.g1, c.queue == fakeQueue(1) ? 1.0f : 2.0f);
}

TEST_F(FakeBackend, TheDirectAllocatorMakesReadWriteBuffers) {
  void* h = nullptr;
  ASSERT_TRUE(direct.allocate(100, &h));
  direct.release(nullptr);
  EXPECT_EQ(callsOf(*fake, Call::kRelease).size(), 0u);
  direct.release(h);
  const std::vector<Call> made = callsOf(*fake, Call::kCreateBuffer);
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(made[0].bytes, 100u);
  EXPECT_EQ(callsOf(*fake, Call::kRelease).size(), 1u);
  fake->memoryBudget = 50;
  h = nullptr;
  EXPECT_FALSE(direct.allocate(100, &h));
  EXPECT_EQ(h, nullptr);
}

}  // namespace
}  // namespace fakecl
