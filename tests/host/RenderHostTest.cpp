// The headless host's render side: its thread pool, its images, where a frame's pixels go, the
// requests it refuses, and how it loads modules.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "host/WorkerPool.h"
#include "tests/host/HostTestSupport.h"

namespace fm::test {
namespace {

struct Counted {
  std::vector<std::atomic<int>> runs;
  std::atomic<int> badThread{0};
  int32_t threads = 0;
  int32_t failAt = -1;
  explicit Counted(size_t n) : runs(n) {}
};

PF_Err countJob(void* context, int32_t threadIndex, int32_t jobIndex, int32_t) {
  auto& c = *static_cast<Counted*>(context);
  if (threadIndex < 0 || threadIndex >= c.threads) ++c.badThread;
  ++c.runs[size_t(jobIndex)];
  return jobIndex == c.failAt ? PF_Interrupt_Cancel : PF_Err_None;
}

int ran(const Counted& c) {
  int n = 0;
  for (const auto& r : c.runs) n += r.load();
  return n;
}

TEST(WorkerPool, RunsEveryJobOnceOnItsThreads) {
  host::WorkerPool pool(4);
  ASSERT_EQ(pool.threads(), 4);
  // Several renders iterate at once.
  std::vector<std::unique_ptr<Counted>> counts;
  for (int k = 0; k < 4; ++k) {
    counts.push_back(std::make_unique<Counted>(700));
    counts.back()->threads = 4;
  }
  std::vector<std::thread> renders;
  for (auto& c : counts) {
    renders.emplace_back([&pool, &c] { EXPECT_EQ(pool.iterate(700, c.get(), countJob), PF_Err_None); });
  }
  for (std::thread& t : renders) t.join();
  for (const auto& c : counts) {
    for (const auto& r : c->runs) ASSERT_EQ(r.load(), 1);
    EXPECT_EQ(c->badThread.load(), 0);
  }
  EXPECT_EQ(pool.iterate(0, nullptr, countJob), PF_Err_None);
}

TEST(WorkerPool, StopsHandingOutJobsAfterAnError) {
  for (int threads : {1, 4}) {
    host::WorkerPool pool(threads);
    Counted c(1000);
    c.threads = threads;
    c.failAt = 10;
    EXPECT_EQ(pool.iterate(1000, &c, countJob), PF_Interrupt_Cancel);
    // Jobs before the failing one all ran; after it, only those already taken by other threads.
    for (int i = 0; i <= 10; ++i) EXPECT_EQ(c.runs[size_t(i)].load(), 1) << i;
    EXPECT_LE(ran(c), 11 + threads - 1);
  }
}

TEST(HostImage, ConvertsAndDownsamples) {
  host::Image eight(5, 3, 8);
  for (int32_t y = 0; y < 3; ++y) {
    for (int32_t x = 0; x < 5; ++x) {
      const float px[4] = {x / 4.0f, y / 2.0f, 0.5f, (x + y) % 2 ? 1.0f : 0.0f};
      eight.set(x, y, px);
    }
  }
  const host::Image back = host::converted(host::converted(eight, 16), 8);
  for (int32_t y = 0; y < 3; ++y) {
    EXPECT_EQ(std::memcmp(back.row(y), eight.row(y), 5 * 4), 0) << y;
  }

  // Half size rounds up; each pixel is the mean of what it covers, colour weighted by alpha.
  const host::Image half = host::downsampled(host::converted(eight, 32), {1, 2}, {1, 2});
  ASSERT_EQ(half.width(), 3);
  ASSERT_EQ(half.height(), 2);
  float px[4];
  half.get(0, 0, px);  // (0,0) transparent, (1,0) and (0,1) opaque, (1,1) transparent
  EXPECT_FLOAT_EQ(px[3], 0.5f);
  EXPECT_NEAR(px[0], (1 / 4.0f + 0.0f) / 2, 1 / 255.0);
  EXPECT_NEAR(px[1], (0.0f + 0.5f) / 2, 1 / 255.0);
  half.get(2, 0, px);  // the last column alone: (4,0) transparent, (4,1) opaque
  EXPECT_FLOAT_EQ(px[3], 0.5f);
  EXPECT_FLOAT_EQ(px[0], 1.0f);
  EXPECT_NEAR(px[1], 0.5f, 1 / 255.0);
  EXPECT_EQ(host::scaledSize(1921, {1, 2}), 961);
  EXPECT_EQ(host::scaledSize(1, {1, 4}), 1);
}

// A layer of random 8-bit pixels, rendered with no blur, so the frame is the layer.
struct CopyHost {
  std::unique_ptr<host::HeadlessHost> host;
  host::Image frame{30, 20, 8};
  CopyHost() {
    for (int32_t y = 0; y < frame.height(); ++y) {
      for (int64_t i = 0; i < frame.width() * 4; ++i) frame.row(y)[i] = (unsigned char)(7 * i + y);
    }
    host = openModule();
    std::string error;
    EXPECT_TRUE(host->attachLayer(0, host::Layer::still(frame), &error)) << error;
    EXPECT_TRUE(host->setParam("Blur Type", "Gaussian Blur", &error)) << error;
  }
};

TEST(RenderHost, FramesGoWhereTheCallerSays) {
  CopyHost c;
  ASSERT_TRUE(c.host);
  host::FrameRequest request;
  request.depth = 8;
  for (const PF_Rect& area : {PF_Rect{-5, -5, 40, 30}, PF_Rect{4, 3, 12, 9}}) {
    host::Image memory(area.right - area.left, area.bottom - area.top, 8);
    for (int32_t y = 0; y < memory.height(); ++y) std::memset(memory.row(y), 0xEE, size_t(memory.rowBytes()));
    PF_Rect told{};
    const host::FrameReport report = c.host->renderFrame(request, [&](const PF_Rect& result) {
      told = result;
      return host::OutputTarget{memory.row(0), memory.rowBytes(), area};
    });
    ASSERT_TRUE(report.ok()) << report.message;
    EXPECT_EQ(std::memcmp(&told, &report.resultRect, sizeof(told)), 0);
    EXPECT_EQ(report.resultRect.right, 30);
    // Inside the layer the layer's pixels; elsewhere transparent.
    for (int32_t y = 0; y < memory.height(); ++y) {
      for (int32_t x = 0; x < memory.width(); ++x) {
        const int32_t lx = x + area.left, ly = y + area.top;
        const bool inside = lx >= 0 && lx < 30 && ly >= 0 && ly < 20;
        const unsigned char* got = memory.row(y) + x * 4;
        const unsigned char* want = inside ? c.frame.row(ly) + lx * 4 : nullptr;
        for (int k = 0; k < 4; ++k) {
          ASSERT_EQ(got[k], want ? want[k] : 0) << lx << "," << ly;
        }
      }
    }
  }
  EXPECT_TRUE(c.host->stats().faults.empty());
}

TEST(RenderHost, RequestsItCannotServeAreRefused) {
  CopyHost c;
  ASSERT_TRUE(c.host);
  const auto refused = [&](host::FrameRequest request, const char* says) {
    host::Image out;
    const host::FrameReport report = c.host->renderFrame(request, &out);
    EXPECT_FALSE(report.ok());
    EXPECT_NE(report.message.find(says), std::string::npos) << report.message;
  };
  host::FrameRequest depth;
  depth.depth = 12;
  refused(depth, "12 bits");
  host::FrameRequest upsampled;
  upsampled.downsampleX = {3, 2};
  refused(upsampled, "downsampling");
  host::FrameRequest noScale;
  noScale.timeScale = 0;
  refused(noScale, "time scale");
  // Memory too narrow for its rectangle.
  unsigned char small[16];
  const host::FrameReport report = c.host->renderFrame(host::FrameRequest{}, [&](const PF_Rect& r) {
    return host::OutputTarget{small, 16, r};
  });
  EXPECT_NE(report.message.find("cannot hold"), std::string::npos) << report.message;
  EXPECT_TRUE(c.host->stats().faults.empty()) << "the pre-render data is freed all the same";
}

TEST(RenderHost, LayersAttachOnlyToLayerParameters) {
  auto host = openModule();
  ASSERT_TRUE(host);
  const auto layer = host::Layer::still(host::Image(8, 8, 8));
  std::string error;
  EXPECT_FALSE(host->attachLayer(3, layer, &error));
  EXPECT_NE(error.find("takes no layer"), std::string::npos) << error;
  EXPECT_FALSE(host->attachLayer(60, layer, &error));
  EXPECT_TRUE(host->attachLayer("Vector Map", layer, &error)) << error;
  EXPECT_NE(host->params().entry(6).def.u.layer.layerId, 0);
  EXPECT_TRUE(host->attachLayer("Vector Map", nullptr, &error)) << error;
  EXPECT_EQ(host->params().entry(6).def.u.layer.layerId, 0);
  // The effect's own layer: its size is the input record's, and the default centre follows it.
  host::LayerInfo info;
  info.pixelAspect = {10, 11};
  EXPECT_TRUE(host->attachLayer(0, host::Layer::still(host::Image(640, 360, 8), info), &error));
  const PF_InData in = host->inputRecord();
  EXPECT_EQ(in.width, 640);
  EXPECT_EQ(in.height, 360);
  EXPECT_EQ(in.pixelAspectRatio.num, 10);
  EXPECT_EQ(host->params().entry(39).def.u.point.x, 320 * 65536);
  EXPECT_EQ(host->params().entry(39).def.u.point.y, 180 * 65536);
}

// Loaded in place, hosts of one process share the module and its process-wide state.
TEST(ModuleLoading, HostsLoadingInPlaceShareTheModule) {
  ScratchTempDir temp;
  host::HostProfile latching;
  latching.reportsHiddenFlag = false;
  std::string error;
  auto first = host::HeadlessHost::open(FM_MODULE_PATH, latching, &error);
  ASSERT_TRUE(first) << error;
  auto second = host::HeadlessHost::open(FM_MODULE_PATH, {}, &error);
  ASSERT_TRUE(second) << error;
  const int32_t reads = second->stats().flagReads;
  ASSERT_EQ(second->updateParamsUi(), PF_Err_None);
  EXPECT_EQ(second->stats().flagReads, reads) << "the shared module is latched";
}

}  // namespace
}  // namespace fm::test
