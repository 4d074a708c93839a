// Whole Vector Blur renders on the CPU backend and on OpenCL agree, with and without a map layer.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "tests/blurs/BlurTestSupport.h"
#include "tests/support/KernelRun.h"
#include "tests/support/OpenCLTarget.h"

namespace {

using fm::Rect;
using fmtest::HostImage;

// Sample positions come from sines, cosines and square roots that each target rounds its own
// way; on a smooth source that moves values by a few millionths.
constexpr float kTolerance = 1e-4f;

HostImage smoothLayer(int w, int h) {
  HostImage im(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const float a = 0.6f + 0.4f * std::sin(x * 0.11f) * std::cos(y * 0.07f);
      im.at(x, y) = {a * (0.5f + 0.5f * std::sin(x * 0.2f + y * 0.05f)), a * (0.5f + 0.4f * std::cos(y * 0.15f)),
                     a * 0.3f, a};
    }
  return im;
}

bool renderOn(fm::Backend& be, const RenderSettings& s, const fm::Buffer& input, const Rect& layer,
              const fm::Buffer* map, const Rect& mapRect, const Rect& outRect, fm::Buffer& out) {
  fm::PlacedImage in{&input, layer};
  fm::MapImage mi{map, mapRect, mapRect};
  const double scale[3] = {s.downsampleX, s.downsampleY, s.pixelAspect};
  std::string message;
  return fm::render(be, s, scale, in, layer, layer, map ? &mi : nullptr, outRect, out, &message);
}

TEST(VectorOnOpencl, RendersMatchTheCpu) {
  FM_REQUIRE_OPENCL();
  std::string why;
  std::unique_ptr<fmtest::OpenCLTarget> cl = fmtest::OpenCLTarget::create(&why);
  ASSERT_TRUE(cl) << why;
  const HostImage layerImage = smoothLayer(48, 36);
  const HostImage mapImage = smoothLayer(30, 20);
  const Rect layer{0, 0, 48, 36}, mapRect{0, 0, 30, 20}, outRect{-4, 3, 44, 40};
  fm::Buffer clIn, clMap;
  ASSERT_TRUE(cl->upload(clIn, layerImage));
  ASSERT_TRUE(cl->upload(clMap, mapImage));
  const fm::Buffer cpuIn = layerImage.buffer(), cpuMap = mapImage.buffer();
  fm::ThreadParallel par(2);
  fmtest::CountingBackend cpu(&par);
  for (int type = 1; type <= 5; ++type)
    for (bool withMap : {false, true}) {
      RenderSettings s;
      s.blurType = fm::kVectorBlur;
      s.vectorType = type;
      s.vectorAmount = type == 1 ? -7 : 6;
      s.angleOffset = 20;
      s.mapSoftness = 4;
      s.mapProperty = withMap ? FM_CH_LIGHTNESS : FM_CH_RED;
      fm::Buffer cpuOut, clOut;
      ASSERT_TRUE(renderOn(cpu, s, cpuIn, layer, withMap ? &cpuMap : nullptr, mapRect, outRect, cpuOut));
      ASSERT_TRUE(renderOn(cl->backend, s, clIn, layer, withMap ? &clMap : nullptr, mapRect, outRect, clOut))
          << cl->error();
      HostImage a(cpuOut.width, cpuOut.height), b(clOut.width, clOut.height);
      for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) a.at(x, y) = static_cast<const fmtest::Px*>(cpuOut.data)[size_t(y) * cpuOut.pitch + x];
      ASSERT_TRUE(cl->read(clOut, b));
      EXPECT_EQ(fmtest::firstDifference(a, b, kTolerance, kTolerance), "") << "type " << type << " map " << withMap;
      cpu.freeImage(cpuOut);
      cl->backend.freeImage(clOut);
    }
  cl->backend.freeImage(clIn);
  cl->backend.freeImage(clMap);
  EXPECT_EQ(cl->liveAfterFlush(), 0);
  EXPECT_EQ(cpu.liveImages, 0);
}

}  // namespace
