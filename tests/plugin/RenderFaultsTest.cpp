// Renders that go wrong: the host stops them, hands over worlds the CPU cannot use, refuses a
// checkout, or memory runs out. Each gives the host's code and leaves nothing behind.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/ForwardingBackend.h"
#include "engine/cpu/CpuBackend.h"
#include "plugin/CpuRender.h"
#include "tests/plugin/RenderTestSupport.h"

namespace fm::test {
namespace {

constexpr int32_t kWidth = 40, kHeight = 32;
const PF_Rect kLayerRect{0, 0, kWidth, kHeight};
constexpr unsigned char kPattern = 0x5A;

// Renders into memory covering the layer, filled with a pattern beforehand.
struct PatternedRender {
  host::Image target;
  host::FrameReport report;
  bool untouched() const {
    for (int32_t y = 0; y < target.height(); ++y) {
      const unsigned char* row = target.row(y);
      for (int64_t i = 0; i < int64_t(target.width()) * host::pixelBytesOf(target.depth()); ++i) {
        if (row[i] != kPattern) return false;
      }
    }
    return true;
  }
};

PatternedRender renderOverPattern(host::HeadlessHost& host, int32_t depth) {
  PatternedRender r;
  r.target = host::Image(kWidth, kHeight, depth);
  for (int32_t y = 0; y < kHeight; ++y) {
    std::memset(r.target.row(y), kPattern, size_t(r.target.rowBytes()));
  }
  host::FrameRequest request;
  request.depth = depth;
  r.report = host.renderFrame(request, [&](const PF_Rect&) {
    return host::OutputTarget{r.target.row(0), r.target.rowBytes(), kLayerRect};
  });
  return r;
}

TEST(RenderFaults, AStopDuringImportLeavesTheOutputUntouched) {
  for (int32_t depth : {8, 16, 32}) {
    for (int64_t from : {0, 1, 2}) {
      SCOPED_TRACE(std::to_string(depth) + " bits, stopped from query " + std::to_string(from));
      host::HostProfile profile;
      profile.abortFromQuery = from;
      auto host = hostWithLayer(host::Layer::still(testFrame(kWidth, kHeight, depth, 1)), profile);
      ASSERT_TRUE(host);
      setParams(*host, {{"Blur Type", "Gaussian Blur"}, {"Blurriness", "5"}});
      const PatternedRender r = renderOverPattern(*host, depth);
      EXPECT_EQ(r.report.err, PF_Interrupt_Cancel) << r.report.message;
      EXPECT_TRUE(r.untouched());
      EXPECT_TRUE(host->stats().faults.empty());
    }
  }
  // A user stop, for an identity copy too.
  auto host = hostWithLayer(host::Layer::still(testFrame(kWidth, kHeight, 32, 1)));
  ASSERT_TRUE(host);
  host->requestAbort(true);
  for (const char* blurriness : {"5", "0"}) {
    setParams(*host, {{"Blur Type", "Gaussian Blur"}, {"Blurriness", blurriness}});
    const PatternedRender r = renderOverPattern(*host, 32);
    EXPECT_EQ(r.report.err, PF_Interrupt_Cancel) << r.report.message;
    EXPECT_TRUE(r.untouched());
  }
}

TEST(RenderFaults, AnOutputWorldOfAnUnknownFormatIsRefused) {
  for (uint32_t format : {PF_FOURCC('x', 'y', 'z', 'w'), PF_PixelFormat_GpuBgra128}) {
    host::HostProfile profile;
    profile.outputPixelFormat = format;
    auto host = hostWithLayer(host::Layer::still(testFrame(kWidth, kHeight, 32, 2)), profile);
    ASSERT_TRUE(host);
    setParams(*host, {{"Blur Type", "Box Blur"}, {"Blur Radius", "3"}});
    const PatternedRender r = renderOverPattern(*host, 32);
    EXPECT_EQ(r.report.err, PF_Err_BadCallbackParam);
    EXPECT_TRUE(r.untouched());
  }
}

TEST(RenderFaults, CheckoutErrorsAreReturnedAsTheHostGaveThem) {
  struct Case {
    ParamTexts params;
    int32_t refusedId;
    PF_Err err;
  };
  const Case cases[] = {
      {{{"Blur Type", "Gaussian Blur"}, {"Blurriness", "5"}}, 1, PF_Err_OutOfMemory},
      {{{"Blur Type", "Vector Blur"}, {"Amount", "5"}}, 3, 1234},
      {{{"Blur Type", "Motion Blur"}, {"Motion Blur Type", "Tracked Motion Blur"}}, 5, 77},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.refusedId);
    host::HostProfile profile;
    profile.refusedLayerCheckouts = {{c.refusedId, c.err}};
    auto host = hostWithLayer(host::Layer::still(testFrame(kWidth, kHeight, 32, 3)), profile);
    ASSERT_TRUE(host);
    setParams(*host, c.params);
    std::string error;
    ASSERT_TRUE(host->attachLayer("Vector Map", host::Layer::still(testFrame(8, 8, 32, 4)), &error))
        << error;
    const Rendered out = renderThroughModule(*host, host::FrameRequest{});
    EXPECT_EQ(out.report.err, c.err);
    EXPECT_NE(out.report.message.find("pre-render"), std::string::npos) << out.report.message;
  }
}

// A host that hands the render records it should not: an error, never a crash.
TEST(RenderFaults, MalformedRenderRecordsAreRefused) {
  auto host = hostWithLayer(host::Layer::still(testFrame(kWidth, kHeight, 8, 5)));
  ASSERT_TRUE(host);
  setParams(*host, {{"Blur Type", "Box Blur"}, {"Blur Radius", "2"}});
  const PF_EffectMainFunc entry = host->entryPoint();
  PF_InData in = host->inputRecord();

  PF_PreRenderInput preInput{};
  preInput.outputRequest.rect = kLayerRect;
  preInput.bitDepth = 8;
  PF_PreRenderOutput preOutput{};
  const PF_PreRenderCallbacks preCallbacks{
      [](PF_EffectRef, int32_t, int32_t, const PF_RenderRequest* request, int32_t, int32_t,
         uint32_t, PF_CheckoutResult* result) {
        *result = PF_CheckoutResult{request->rect, kLayerRect, kWidth, kHeight};
        return PF_Err(PF_Err_None);
      },
      nullptr};
  PF_PreRenderExtra preExtra{&preInput, &preOutput, &preCallbacks};
  PF_PreRenderExtra noCallbacks{&preInput, &preOutput, nullptr};
  EXPECT_EQ(entry(PF_Cmd_SMART_PRE_RENDER, &in, nullptr, nullptr, nullptr, &noCallbacks),
            PF_Err_BadCallbackParam);
  EXPECT_EQ(entry(PF_Cmd_SMART_PRE_RENDER, &in, nullptr, nullptr, nullptr, nullptr),
            PF_Err_BadCallbackParam);
  ASSERT_EQ(entry(PF_Cmd_SMART_PRE_RENDER, &in, nullptr, nullptr, nullptr, &preExtra),
            PF_Err_None);
  ASSERT_TRUE(preOutput.preRenderData && preOutput.deletePreRenderData);

  // Worlds of the layer's size whose rows are too short for their pixels.
  static std::vector<unsigned char> pixels(size_t(kWidth) * kHeight * 4);
  static PF_World good{pixels.data(), kWidth * 4, kWidth, kHeight, 0, 0, 0};
  static PF_World shortRows{pixels.data(), kWidth * 4 - 1, kWidth, kHeight, 0, 0, 0};
  static PF_World* input = nullptr;
  static PF_World* output = nullptr;
  const PF_SmartRenderCallbacks callbacks{
      [](PF_EffectRef, int32_t, PF_World** w) {
        *w = input;
        return PF_Err(PF_Err_None);
      },
      [](PF_EffectRef, int32_t) { return PF_Err(PF_Err_None); },
      [](PF_EffectRef, PF_World** w) {
        *w = output;
        return PF_Err(PF_Err_None);
      }};
  PF_SmartRenderInput renderInput{};
  renderInput.bitDepth = 8;
  PF_SmartRenderExtra renderExtra{&renderInput, &callbacks};
  EXPECT_EQ(entry(PF_Cmd_SMART_RENDER, &in, nullptr, nullptr, nullptr, &renderExtra),
            PF_Err_InternalStructDamaged) << "no pre-render data";
  renderInput.preRenderData = preOutput.preRenderData;
  EXPECT_EQ(entry(PF_Cmd_SMART_RENDER, &in, nullptr, nullptr, nullptr, nullptr),
            PF_Err_BadCallbackParam);
  input = &good;
  output = &shortRows;
  EXPECT_EQ(entry(PF_Cmd_SMART_RENDER, &in, nullptr, nullptr, nullptr, &renderExtra),
            PF_Err_BadCallbackParam);
  input = &shortRows;
  output = &good;
  EXPECT_EQ(entry(PF_Cmd_SMART_RENDER, &in, nullptr, nullptr, nullptr, &renderExtra),
            PF_Err_BadCallbackParam);
  // No output world: nothing to do.
  input = &good;
  output = nullptr;
  EXPECT_EQ(entry(PF_Cmd_SMART_RENDER, &in, nullptr, nullptr, nullptr, &renderExtra), PF_Err_None);
  output = &good;
  EXPECT_EQ(entry(PF_Cmd_SMART_RENDER, &in, nullptr, nullptr, nullptr, &renderExtra), PF_Err_None);
  preOutput.deletePreRenderData(preOutput.preRenderData);
  EXPECT_TRUE(host->stats().faults.empty());
}

// A CPU backend that refuses its n-th image (0: none) and counts the images alive.
class RefusingBackend final : public ForwardingBackend<CpuBackend> {
 public:
  explicit RefusingBackend(int refuse) : ForwardingBackend(nullptr, nullptr, nullptr), refuse(refuse) {}
  bool allocImage(Buffer& b, int w, int h) override {
    if (++calls == refuse || !inner.allocImage(b, w, h)) return false;
    ++live;
    return true;
  }
  void freeImage(Buffer& b) override {
    if (b.data && b.owned) --live;
    inner.freeImage(b);
  }
  int refuse, calls = 0, live = 0;
};

WorldView viewOf(host::Image& image, const Rect& rect) {
  const int32_t format = image.depth() == 8 ? kWorld8 : image.depth() == 16 ? kWorld16 : kWorld32;
  return WorldView{image.row(0), image.rowBytes(), image.width(), image.height(), format, rect};
}

// Every image the CPU render takes, refused in turn: out of memory (or, where the engine can do
// without it, the clean result), the output untouched on failure, and no image left behind.
TEST(RenderFaults, RefusedImagesGiveOutOfMemoryAndLeakNothing) {
  const Rect layer{0, 0, kWidth, kHeight};
  host::Image input = movingSquareFrame(kWidth, kHeight, 16, 0, 2, 1);
  host::Image previous = movingSquareFrame(kWidth, kHeight, 16, -1, 2, 1);
  host::Image next = movingSquareFrame(kWidth, kHeight, 16, 1, 2, 1);
  host::Image map = testFrame(20, 10, 16, 6);

  struct Case {
    const char* name;
    void (*settings)(RenderSettings&);
    bool neighbours, withMap;
  };
  const Case cases[] = {
      {"vector blur with a map",
       [](RenderSettings& s) {
         s.blurType = kVectorBlur;
         s.vectorAmount = 6;
         s.hasMap = true;
       },
       false, true},
      {"lens blur with an empty map",
       [](RenderSettings& s) {
         s.blurType = kCameraLensBlur;
         s.hasMap = s.hasBlurMap = true;
       },
       false, false},
      {"tracked motion blur",
       [](RenderSettings& s) {
         s.blurType = kMotionBlur;
         s.motionBlurType = kTrackedMotionBlur;
         s.motionSensitivity = 100;
         s.frameMode = kFrameTracked;
         s.hasPrevFrame = s.hasNextFrame = true;
       },
       true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RenderSettings s = frameSettings(16, 1, 1, 1, layer);
    c.settings(s);
    s.mapBounds = Rect{0, 0, 20, 10};
    s.resultRect = layer;
    const auto run = [&](int refuse, host::Image& out, int* images) {
      RenderWorlds w;
      w.input = viewOf(input, layer);
      w.output = viewOf(out, layer);
      if (c.neighbours) {
        w.previous = viewOf(previous, layer);
        w.next = viewOf(next, layer);
      }
      if (c.withMap) w.map = viewOf(map, s.mapBounds);
      RefusingBackend be(refuse);
      AeParallel par(nullptr);
      const PF_Err err = cpuRender(be, par, s, w);
      EXPECT_EQ(be.live, 0) << "refused image " << refuse;
      *images = be.calls;
      return err;
    };
    host::Image clean(kWidth, kHeight, 16);
    int images = 0;
    ASSERT_EQ(run(0, clean, &images), PF_Err_None);
    ASSERT_GT(images, 0);
    for (int refuse = 1; refuse <= images; ++refuse) {
      host::Image out(kWidth, kHeight, 16);
      int ignored;
      const PF_Err err = run(refuse, out, &ignored);
      if (err == PF_Err_None) {
        EXPECT_EQ(difference(out, clean), "") << "refused image " << refuse;
      } else {
        EXPECT_EQ(err, PF_Err_OutOfMemory) << "refused image " << refuse;
        EXPECT_EQ(difference(out, host::Image(kWidth, kHeight, 16)), "") << "refused image " << refuse;
      }
    }
  }
}

}  // namespace
}  // namespace fm::test
