// Whole Camera Lens Blur renders through the driver on the CPU backend and on OpenCL (PoCL on
// machines without a GPU) agree, for one radius and for a radius per pixel.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "tests/blurs/LensTestSupport.h"
#include "tests/support/KernelRun.h"
#include "tests/support/OpenCLTarget.h"

namespace {

using fm::Rect;
using fmtest::HostImage;
using fmtest::Px;
using lenstest::lensSettings;
using lenstest::MapLayer;

// The targets round differently (fused multiply-adds, table-based versus exact light curves);
// prefix sums turn that into absolute errors of about 1e-6 of a row's sum, which the 2.2 gamma
// curve would magnify near black. Colours therefore stay at 0.15 of alpha or above.
constexpr float kTolerance = 5e-5f;

HostImage layerImage(int w, int h, uint32_t seed) {
  HostImage im = fmtest::randomImage(w, h, seed, 0.0f, 1.0f);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      Px& p = im.at(x, y);
      p.a = 0.3f + 0.7f * p.a;
      p.r = p.a * (0.15f + 0.85f * p.r);
      p.g = p.a * (0.15f + 0.85f * p.g);
      p.b = p.a * (0.15f + 0.85f * p.b);
    }
  return im;
}

class LensOnOpencl : public ::testing::Test {
 protected:
  void SetUp() override {
    FM_REQUIRE_OPENCL();
    std::string why;
    cl = fmtest::OpenCLTarget::create(&why);
    ASSERT_TRUE(cl) << why;
  }

  // Renders on `be` from images that already live on it; the output comes back as a host image.
  bool renderOn(fm::Backend& be, const RenderSettings& s, const fm::Buffer& input, const Rect& placed,
                const fm::Buffer* map, const MapLayer* layer, const Rect& outRect, HostImage& result) {
    fm::PlacedImage in{&input, placed};
    fm::MapImage mapImage;
    if (map) {
      mapImage.buffer = map;
      mapImage.rect = layer->rect;
      mapImage.bounds = layer->bounds;
    }
    RenderSettings settings = s;
    settings.hasBlurMap = map != nullptr;
    const double scale[3] = {s.downsampleX, s.downsampleY, s.pixelAspect};
    fm::Buffer out;
    std::string message;
    if (!fm::render(be, settings, scale, in, placed, placed, map ? &mapImage : nullptr, outRect, out, &message)) {
      ADD_FAILURE() << message;
      return false;
    }
    const bool ok = fmtest::readImage(be, out, result);
    be.freeImage(out);
    return ok;
  }

  // The same frame on both targets; "" when they agree.
  std::string compare(const RenderSettings& s, const HostImage& image, const Rect& placed, const MapLayer* layer,
                      const Rect& outRect) {
    fm::ThreadParallel par(2);
    fm::CpuBackend cpu(&par, nullptr, nullptr);
    const fm::Buffer hostInput = image.buffer();
    fm::Buffer hostMap;
    if (layer) hostMap = layer->image.buffer();
    HostImage onCpu, onCl;
    if (!renderOn(cpu, s, hostInput, placed, layer ? &hostMap : nullptr, layer, outRect, onCpu))
      return "CPU render failed";

    fm::Buffer deviceInput, deviceMap;
    bool ok = cl->upload(deviceInput, image) && (!layer || cl->upload(deviceMap, layer->image));
    ok = ok && renderOn(cl->backend, s, deviceInput, placed, layer ? &deviceMap : nullptr, layer, outRect, onCl);
    cl->backend.freeImage(deviceInput);
    cl->backend.freeImage(deviceMap);
    if (!ok) return "OpenCL render failed: " + cl->error();
    const std::string diff = fmtest::firstDifference(onCpu, onCl, kTolerance, kTolerance);
    return diff.empty() ? "" : "CPU and OpenCL differ at " + diff;
  }

  void TearDown() override {
    if (!cl) return;
    EXPECT_EQ(cl->liveAfterFlush(), 0);  // images and tables alike
  }

  std::unique_ptr<fmtest::OpenCLTarget> cl;
};

TEST_F(LensOnOpencl, DeviceBackendKeepsTheBackendContract) {
  fm::Backend& be = cl->backend;
  fm::Buffer img;
  EXPECT_FALSE(be.allocImage(img, 0, 4));
  EXPECT_EQ(img.data, nullptr);
  ASSERT_TRUE(be.allocImage(img, 33, 3));
  EXPECT_EQ(img.pitch, 64);
  FMParams p;
  fm::makeParams(p, &img, nullptr, nullptr);
  EXPECT_TRUE(be.launch(FM_KERNEL_COUNT, &img, nullptr, nullptr, nullptr, &p, 0, 3, 1.0));  // empty grid first
  EXPECT_FALSE(be.launch(FM_KERNEL_COUNT, &img, nullptr, nullptr, nullptr, &p, 33, 3, 1.0));
  // The backend bands the launch on a copy of the block: the caller's comes back as it was.
  const FMParams before = p;
  EXPECT_TRUE(be.launch(FM_K_CLEAR, &img, nullptr, nullptr, nullptr, &p, 33, 3, 1.0));
  EXPECT_EQ(std::memcmp(&p, &before, sizeof p), 0);
  HostImage back;
  ASSERT_TRUE(cl->read(img, back));
  EXPECT_EQ(fmtest::firstDifference(back, HostImage(33, 3)), "");
  EXPECT_FALSE(be.download(img, nullptr));
  fm::Table none;
  ASSERT_TRUE(be.uploadTable(none, nullptr, 0));
  EXPECT_NE(none.data, nullptr);
  be.freeTable(none);
  be.freeImage(img);
  be.freeImage(img);  // a second release is harmless
}

TEST_F(LensOnOpencl, OneRadius) {
  const HostImage image = layerImage(45, 33, 81);
  const Rect placed{-6, 4, 39, 37};
  const Rect around = fm::grownBy(placed, 9, 7);
  struct Case {
    double radius;
    bool repeat, linear;
    int shape;
    double aspect, rotation, fringe, gain;
  } cases[] = {
      {6.5, true, true, 4, 1, 10, 100, 0},    // hexagon with the ring, linear light
      {9, false, false, 1, 1.5, 0, 0, 40},    // wide triangle, highlights, edges fade
      {200, true, true, 6, 1, 45, 250, 0},    // reduced by 2
      {200, false, true, 8, 0.7, 0, 0, 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "radius " << c.radius << " repeat " << c.repeat);
    RenderSettings s = lensSettings(c.radius, c.repeat);
    s.useLinearWorkingSpace = c.linear;
    s.irisShape = c.shape;
    s.irisAspectRatio = c.aspect;
    s.irisRotation = c.rotation;
    s.diffractionFringe = c.fringe;
    s.highlightGain = c.gain;
    s.highlightThreshold = 0.5;
    EXPECT_EQ(compare(s, image, placed, nullptr, around), "");
  }
}

TEST_F(LensOnOpencl, RadiusPerPixelFromABlurMap) {
  const HostImage image = layerImage(45, 33, 82);
  const Rect placed{-6, 4, 39, 37};
  const Rect around = fm::grownBy(placed, 9, 7);
  // A map smaller than the layer, a ramp with a sharp band.
  MapLayer map = lenstest::greyMap(30, 20, Rect{0, 0, 30, 20}, [](int x, int y) {
    return x >= 12 && x < 16 ? 0.4 : (x + y) / 50.0;
  });
  struct Case {
    double radius;
    bool repeat, invert;
    int placement;
    double fringe;
  } cases[] = {
      {10, true, false, 1, 100},
      {10, false, true, 2, 0},
      {300, true, true, 2, 100},  // reduced by 2
      {300, false, false, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "radius " << c.radius << " repeat " << c.repeat);
    RenderSettings s = lensSettings(c.radius, c.repeat);
    s.useLinearWorkingSpace = true;
    s.invertBlurMap = c.invert;
    s.blurMapPlacement = c.placement;
    s.blurFocalDistance = 0.4;
    s.diffractionFringe = c.fringe;
    s.irisShape = 2;
    s.irisRotation = 15;
    EXPECT_EQ(compare(s, image, placed, &map, around), "");
  }
}

}  // namespace
