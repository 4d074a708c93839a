// fm::CudaBackend over the stand-in driver, which runs every launch with the CPU kernels over the
// grid and blocks it is given: block shapes, arguments, bands, messages, the context on the
// render thread, and whole renders that must give the CPU backend's pixels.
#include <algorithm>
#include <cmath>
#include <thread>

#include "tests/gpu/FakeDriver.h"
#include "tests/gpu/RenderJobs.h"

namespace fakecu {
namespace {

using FakeCudaBackend = FakeCudaTest;
using fm::devicePointer;

struct Shape {
  unsigned x, y;
  bool operator==(const Shape& o) const { return x == o.x && y == o.y; }
};
Shape blockShape(const Call& c) { return {c.block[0], c.block[1]}; }
Shape gridShape(const Call& c) { return {c.grid[0], c.grid[1]}; }

TEST_F(FakeCudaBackend, BlocksFollowTheGridWidthAndCoverExactlyTheWork) {
  be = makeBackend();
  struct Case {
    int gridW, gridH;
    Shape block, grid;
  } cases[] = {{3, 1000, {1, 256}, {3, 4}},  {1, 1, {1, 256}, {1, 1}},    {4, 64, {4, 64}, {1, 1}},
               {10, 7, {4, 64}, {3, 1}},     {15, 65, {4, 64}, {4, 2}},   {16, 17, {16, 16}, {1, 2}},
               {1920, 1080, {16, 16}, {120, 68}}};
  for (const Case& c : cases) {
    fake->reset();
    fm::Buffer d = image(*be, c.gridW, c.gridH);
    FMParams p = blockOf(d);
    ASSERT_TRUE(be->launch(FM_K_CLEAR, &d, nullptr, nullptr, nullptr, &p, c.gridW, c.gridH, 1.0)) << be->lastError;
    const std::vector<Call> k = callsOf(*fake, Call::kLaunch);
    ASSERT_EQ(k.size(), 1u) << c.gridW;
    EXPECT_TRUE(blockShape(k[0]) == c.block) << c.gridW << ": " << k[0].block[0] << " x " << k[0].block[1];
    EXPECT_TRUE(gridShape(k[0]) == c.grid) << c.gridW << ": " << k[0].grid[0] << " x " << k[0].grid[1];
    EXPECT_EQ(k[0].stream, fakeStream());
    // The rounded-up items do nothing: the image is cleared, the pitch beyond it keeps the
    // driver's NaN.
    std::vector<float> back(size_t(d.pitch) * d.height * 4);
    ASSERT_TRUE(be->readImage(d, back.data()));
    bool cleared = true, paddingKept = true;
    for (int y = 0; y < d.height; ++y)
      for (int x = 0; x < d.pitch; ++x)
        for (int ch = 0; ch < 4; ++ch) {
          const float v = back[(size_t(y) * d.pitch + x) * 4 + ch];
          if (x < d.width) cleared = cleared && v == 0.0f;
          else paddingKept = paddingKept && std::isnan(v);
        }
    EXPECT_TRUE(cleared) << c.gridW;
    EXPECT_TRUE(paddingKept) << c.gridW;
    be->freeImage(d);
  }
}

TEST_F(FakeCudaBackend, EachLaunchReadsItsOwnArgumentsByValue) {
  be = makeBackend();
  fm::Buffer d = image(*be, 40, 30), a = image(*be, 40, 30), b = image(*be, 8, 8);
  fm::Table t;
  const float taps[3] = {0.25f, 0.5f, 0.25f};
  ASSERT_TRUE(be->uploadTable(t, taps, 3));
  FMParams p = blockOf(d);
  p.g3 = 7.5f;
  p.t[95] = -1.0f;
  // Queued behind each other: each must keep the values it was launched with.
  ASSERT_TRUE(be->launch(FM_K_COPY, &d, &a, nullptr, nullptr, &p, 40, 30, 1.0));
  p.g3 = 2.0f;
  ASSERT_TRUE(be->launch(FM_K_CONV_ROWS, &d, &a, nullptr, &t, &p, 40, 30, 1.0));
  ASSERT_TRUE(be->launch(FM_K_CLEAR, &d, nullptr, &b, nullptr, &p, 40, 30, 1.0));
  const std::vector<Call> k = callsOf(*fake, Call::kLaunch);
  ASSERT_EQ(k.size(), 3u);
  const fm::CUdeviceptr D = devicePointer(d.data), A = devicePointer(a.data), B = devicePointer(b.data),
                        T = devicePointer(t.data);
  const fm::CUdeviceptr want[3][4] = {{D, A, 0, 0}, {D, A, 0, T}, {D, 0, B, 0}};
  const char* names[3] = {"fm_copy", "fm_conv_rows", "fm_clear"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(k[i].kernel, names[i]);
    for (int arg = 0; arg < 4; ++arg) EXPECT_EQ(k[i].args[arg], want[i][arg]) << names[i] << " argument " << arg;
    EXPECT_EQ(k[i].params.g3, i == 0 ? 7.5f : 2.0f);
    EXPECT_EQ(k[i].params.t[95], -1.0f);
    EXPECT_EQ(k[i].params.y1, 30);
  }
  const std::vector<Call> tables = callsOf(*fake, Call::kCopyInAsync);
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_EQ(tables[0].address, T);
  EXPECT_EQ(tables[0].bytes, 12u);
  EXPECT_EQ(tables[0].stream, fakeStream());
  for (fm::Buffer* x : {&d, &a, &b}) be->freeImage(*x);
  be->freeTable(t);
}

// A grid may be at most 65535 blocks tall: taller bands go as several launches, each starting at
// its own row.
TEST_F(FakeCudaBackend, TallLaunchesStayWithinTheDriversGridHeight) {
  be = makeBackend();
  fm::Buffer d = image(*be, 1, 8);
  FMParams p = blockOf(d);
  const int rows = 65535 * 256 + 300;
  p.y1 = rows;  // past the image's 8 rows: the items there do nothing
  ASSERT_TRUE(be->launch(FM_K_CLEAR, &d, nullptr, nullptr, nullptr, &p, 1, rows, 1.0)) << be->lastError;
  const std::vector<Call> k = callsOf(*fake, Call::kLaunch);
  ASSERT_EQ(k.size(), 2u);
  EXPECT_TRUE(gridShape(k[0]) == (Shape{1, 65535}));
  EXPECT_EQ(k[0].params.y0, 0);
  EXPECT_EQ(k[0].params.y1, 65535 * 256);
  EXPECT_TRUE(gridShape(k[1]) == (Shape{1, 2}));
  EXPECT_EQ(k[1].params.y0, 65535 * 256);
  EXPECT_EQ(k[1].params.y1, rows);
  be->freeImage(d);
}

TEST_F(FakeCudaBackend, AFailedLaunchSaysItsCodeAndLatches) {
  be = makeBackend();
  fm::Buffer d = image(*be, 64, 64);
  be->bandBudget = 64 * 32;  // two bands
  FMParams p = blockOf(d);
  fake->failCall("cuLaunchKernel", kLaunchFailed, 2);
  EXPECT_FALSE(be->launch(FM_K_CLEAR, &d, nullptr, nullptr, nullptr, &p, 64, 64, 1.0));
  EXPECT_EQ(be->lastError, "cuLaunchKernel 719");
  EXPECT_EQ(callsOf(*fake, Call::kLaunch).size(), 2u);
  fake->reset();
  EXPECT_FALSE(be->launch(FM_K_CLEAR, &d, nullptr, nullptr, nullptr, &p, 0, 0, 1.0));
  EXPECT_FALSE(be->launch(FM_K_CLEAR, &d, nullptr, nullptr, nullptr, &p, 64, 64, 1.0));
  EXPECT_TRUE(callsOf(*fake, Call::kLaunch).empty());
  // Without a destination nothing is launched at all: a null address would fault the context.
  std::unique_ptr<fm::CudaBackend> other = makeBackend();
  EXPECT_FALSE(other->launch(FM_K_CLEAR, nullptr, nullptr, nullptr, nullptr, &p, 64, 64, 1.0));
  EXPECT_TRUE(callsOf(*fake, Call::kLaunch).empty());
  be->freeImage(d);
}

// Copies wait for the work queued before them (the stand-in runs it only then, and reports a
// copy that races it); a failed wait copies nothing.
TEST_F(FakeCudaBackend, WholeImagesGoInAndOutAfterTheStreamFinishes) {
  be = makeBackend();
  fm::Buffer d = image(*be, 3, 2);
  std::vector<float> in(size_t(d.pitch) * 2 * 4), out(in.size());
  for (size_t i = 0; i < in.size(); ++i) in[i] = float(i);
  ASSERT_TRUE(be->writeImage(d, in.data()));
  FMParams p = blockOf(d);
  p.dW = 2;  // clears the first two columns
  ASSERT_TRUE(be->launch(FM_K_CLEAR, &d, nullptr, nullptr, nullptr, &p, 3, 2, 1.0));
  ASSERT_TRUE(be->download(d, out.data()));
  for (size_t i = 0; i < in.size(); ++i) EXPECT_EQ(out[i], (i / 4) % size_t(d.pitch) < 2 ? 0.0f : in[i]) << i;
  EXPECT_EQ(callsOf(*fake, Call::kCopyIn).at(0).bytes, size_t(32 * 2 * 16));
  fake->failCall("cuStreamSynchronize", kLaunchFailed);
  EXPECT_FALSE(be->readImage(d, out.data()));
  EXPECT_FALSE(be->writeImage(d, in.data()));
  EXPECT_EQ(callsOf(*fake, Call::kCopyOut).size(), 1u);
  EXPECT_EQ(callsOf(*fake, Call::kCopyIn).size(), 1u);
  EXPECT_FALSE(be->download(d, nullptr));
  EXPECT_EQ(be->lastError, "");  // copies and waits leave the message alone
  fake->reset();
  be->freeImage(d);
}

// The render thread pushes the context once; the destructor finishes and gives memory back while
// it is current, then pops it on that thread. A refused push says so and is never popped.
TEST_F(FakeCudaBackend, TheContextStaysOnTheRenderThreadFromEnterToDestruction) {
  fake->reset();
  std::thread::id renderThread;
  std::thread render([&] {
    renderThread = std::this_thread::get_id();
    std::unique_ptr<fm::CudaBackend> one = makeBackend();
    EXPECT_TRUE(one->enterContext());
    EXPECT_EQ(stackHere(*fake), std::vector<fm::CUcontext>{fakeContext()});
    fm::Buffer d = image(*one, 8, 8);
    FMParams p = blockOf(d);
    EXPECT_TRUE(one->launch(FM_K_CLEAR, &d, nullptr, nullptr, nullptr, &p, 8, 8, 1.0));
    one->freeImage(d);
    one.reset();
    EXPECT_TRUE(stackHere(*fake).empty());
  });
  render.join();
  std::vector<Call::Kind> order;
  {
    std::lock_guard<std::mutex> guard(fake->lock);
    for (const Call& c : fake->calls) {
      if (c.kind == Call::kPush || c.kind == Call::kPop) {
        EXPECT_EQ(c.thread, renderThread);
      }
      if (c.kind != Call::kAlloc) order.push_back(c.kind);
    }
  }
  EXPECT_EQ(order, (std::vector<Call::Kind>{Call::kPush, Call::kLaunch, Call::kSync, Call::kFree, Call::kPop}));

  fake->reset();
  fake->failCall("cuCtxPushCurrent_v2", kInvalidContext);
  {
    fm::CudaBackend refused(&allocator, module, fakeStream());
    EXPECT_FALSE(refused.enterContext());
    EXPECT_EQ(refused.lastError, "cuCtxPushCurrent_v2 201");
  }
  EXPECT_TRUE(callsOf(*fake, Call::kPop).empty());
  fake->reset();
}

// Every launch of every kind runs with the CPU kernels over the grid the backend chose, in one
// band per launch and in bands of a few rows: the pixels must be the CPU backend's, bit for bit.
TEST_F(FakeCudaBackend, EveryKindRendersTheCpuPixels) {
  std::vector<Shape> blocks;
  for (const fmtest::RenderJob& job : fmtest::everyKind()) {
    const fmtest::HostImage want = fmtest::renderOnCpu(job);
    for (double budget : {6e7, 5.0 * 64}) {
      fake->reset();
      be = makeBackend();
      be->bandBudget = budget;
      const fmtest::HostImage got = fmtest::renderOnGpu(*be, job);
      be.reset();
      EXPECT_EQ(fmtest::firstDifference(want, got), "") << job.name << ", band budget " << budget;
      for (const Call& c : callsOf(*fake, Call::kLaunch)) {
        EXPECT_EQ(c.result, 0) << c.kernel;
        // Narrow grids fit in one block column of their shape.
        const Shape b = blockShape(c);
        const bool shaped = (b == Shape{1, 256} && c.grid[0] < 4) || (b == Shape{4, 64} && c.grid[0] <= 4) ||
                            b == Shape{16, 16};
        EXPECT_TRUE(shaped)
            << c.kernel << " in blocks of " << b.x << " x " << b.y;
        if (std::find(blocks.begin(), blocks.end(), b) == blocks.end()) blocks.push_back(b);
      }
    }
  }
  EXPECT_EQ(blocks.size(), 3u);  // the renders use every shape
}

TEST_F(FakeCudaBackend, TwoRenderThreadsSharingTheModuleGiveThePixelsOfOneAfterTheOther) {
  const std::vector<fmtest::RenderJob> jobs = fmtest::everyKind();
  std::vector<fmtest::HostImage> alone;
  be = makeBackend();
  for (const fmtest::RenderJob& job : jobs) alone.push_back(fmtest::renderOnGpu(*be, job));
  be.reset();
  fmtest::expectSameOnTwoThreads(jobs, alone, [this](int thread) { return makeBackend(fakeStream(1 + thread)); });
  for (const Call& c : callsOf(*fake, Call::kLaunch)) EXPECT_EQ(c.result, 0) << c.kernel;
}

}  // namespace
}  // namespace fakecu
