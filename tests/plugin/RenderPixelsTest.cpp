// Pixel properties of renders through the module: what must come out exactly as it went in,
// and hosts that lack a suite the render can do without.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "engine/ThreadParallel.h"
#include "plugin/WorldRows.h"
#include "plugin/WorldTransfer.h"

#include "tests/plugin/RenderTestSupport.h"

namespace fm::test {
namespace {

constexpr int32_t kWidth = 40, kHeight = 32;

bool sameBytes(const host::Image& a, const host::Image& b) {
  if (a.width() != b.width() || a.height() != b.height() || a.depth() != b.depth()) return false;
  const size_t row = size_t(a.width()) * host::pixelBytesOf(a.depth());
  for (int32_t y = 0; y < a.height(); ++y) {
    if (std::memcmp(a.row(y), b.row(y), row) != 0) return false;
  }
  return true;
}

TEST(RenderPixels, SixteenBitGreyStaysGreyThroughGaussianBlur) {
  for (int32_t grey : {1, 12345, 16384, 32767}) {
    SCOPED_TRACE(grey);
    const float v = float(grey) / 32768.0f;
    const float px[4] = {v, v, v, 1};
    const host::Image frame = solidFrame(kWidth, kHeight, 16, px);
    auto host = hostWithLayer(host::Layer::still(frame));
    ASSERT_TRUE(host);
    for (const char* blurriness : {"3", "40", "400"}) {
      setParams(*host, {{"Blur Type", "Gaussian Blur"}, {"Blurriness", blurriness}});
      host::FrameRequest request;
      request.depth = 16;
      const Rendered out = renderThroughModule(*host, request);
      ASSERT_TRUE(out.report.ok()) << out.report.message;
      EXPECT_TRUE(sameBytes(out.image, frame)) << "blurriness " << blurriness << ": "
                                               << difference(out.image, frame);
    }
  }
}

// Blurs too small to change a pixel copy the input world byte for byte, whatever it holds.
TEST(RenderPixels, NegligibleBlursCopyExactly) {
  const ParamTexts negligible[] = {
      {{"Blur Type", "Gaussian Blur"}, {"Blurriness", "0.18"}},
      {{"Blur Type", "Box Blur"}, {"Blur Radius", "0"}},
      {{"Blur Type", "Motion Blur"}, {"Blur Length", "0.2"}},
      {{"Blur Type", "Vector Blur"}, {"Amount", "0"}},
  };
  for (int32_t depth : {8, 16, 32}) {
    host::Image frame = testFrame(kWidth, kHeight, depth, 9);
    if (depth == 32) {
      // Values no import would let through unchanged.
      float odd[4] = {std::numeric_limits<float>::quiet_NaN(), 7.5f, -2.0f, 0.25f};
      frame.set(3, 4, odd);
      odd[3] = std::numeric_limits<float>::infinity();
      frame.set(5, 6, odd);
    }
    auto host = hostWithLayer(host::Layer::still(frame));
    ASSERT_TRUE(host);
    for (const ParamTexts& params : negligible) {
      SCOPED_TRACE(params[0].second + " in " + std::to_string(depth) + " bits");
      setParams(*host, params);
      host::FrameRequest request;
      request.depth = depth;
      const Rendered out = renderThroughModule(*host, request);
      ASSERT_TRUE(out.report.ok()) << out.report.message;
      EXPECT_TRUE(sameBytes(out.image, frame));
    }
  }
}

// Worlds and images too large for the caches are written past them; every row must still be
// what the row codecs make of it with plain stores, at every depth, for rows that lie on 16
// bytes and rows that do not, with a ragged last group of pixels.
TEST(RenderPixels, LargeWorldsImportAndExportAsTheirRowsDo) {
  ThreadParallel par(3);
  std::mt19937 rng(5);
  for (int32_t depth : {8, 16, 32})
    for (int32_t shift : {0, 4}) {
      SCOPED_TRACE(std::to_string(depth) + " bits, rows " + std::to_string(shift) + " bytes off 16");
      const int32_t format = depth == 8 ? kWorld8 : depth == 16 ? kWorld16 : kWorld32;
      const int32_t width = 1203, pitch = 1206;
      const int64_t rowBytes = int64_t(width) * pixelBytes(format) + 16;
      const int32_t height = int32_t((int64_t(9) << 20) / rowBytes + 1);  // the world past 8 MiB
      std::vector<unsigned char> bytes(size_t(rowBytes * height + 32));
      for (unsigned char& b : bytes) b = static_cast<unsigned char>(rng());  // NaNs and infinities too
      unsigned char* base = bytes.data() + (16 - reinterpret_cast<uintptr_t>(bytes.data()) % 16) % 16 + shift;
      const WorldView world{base, rowBytes, width, height, format, Rect{0, 0, width, height}};

      std::vector<float> image(size_t(pitch) * height * 4 + 4, 1.0f), want(size_t(pitch) * 4);
      float* pixels = image.data() + (16 - reinterpret_cast<uintptr_t>(image.data()) % 16) % 16 / 4;
      const Buffer buffer{pixels, width, height, pitch, false};
      ASSERT_TRUE(importWorld(par, world, buffer));
      for (int32_t y = 0; y < height; ++y) {
        importRow(format, base + y * rowBytes, want.data(), width);
        ASSERT_EQ(std::memcmp(pixels + size_t(y) * pitch * 4, want.data(), size_t(width) * 16), 0) << "row " << y;
        for (int32_t i = width * 4; i < pitch * 4; ++i) ASSERT_EQ(pixels[size_t(y) * pitch * 4 + i], 0.0f);
      }

      // Export values of every kind: negative, beyond one, alpha above one and below the cut.
      std::uniform_real_distribution<float> u(-0.25f, 1.25f);
      for (int32_t y = 0; y < height; ++y)
        for (int32_t i = 0; i < width * 4; ++i) pixels[size_t(y) * pitch * 4 + i] = u(rng);
      pixels[3] = 1e-8f;
      pixels[7] = std::numeric_limits<float>::quiet_NaN();
      ASSERT_TRUE(exportWorld(par, buffer, world));
      std::vector<unsigned char> row(static_cast<size_t>(rowBytes));
      for (int32_t y = 0; y < height; ++y) {
        exportRow(format, pixels + size_t(y) * pitch * 4, row.data(), width);
        ASSERT_EQ(std::memcmp(base + y * rowBytes, row.data(), size_t(width) * pixelBytes(format)), 0) << "row " << y;
      }
    }
}

// Without the world suite the deep flag and the render's depth tell the formats apart; without
// the iterator every band runs on the render's own thread. Neither changes a pixel.
TEST(RenderPixels, HostsWithoutTheWorldSuiteOrTheIteratorRenderTheSame) {
  for (int32_t depth : {8, 16, 32}) {
    SCOPED_TRACE(std::to_string(depth) + " bits");
    const host::Image frame = testFrame(kWidth, kHeight, depth, 10);
    const ParamTexts params = {{"Blur Type", "Box Blur"}, {"Blur Radius", "2"}};
    auto reference = hostWithLayer(host::Layer::still(frame));
    ASSERT_TRUE(reference);
    setParams(*reference, params);
    host::FrameRequest request;
    request.depth = depth;
    const Rendered expected = renderThroughModule(*reference, request);
    ASSERT_TRUE(expected.report.ok()) << expected.report.message;
    EXPECT_GT(reference->stats().iterations, 0);
    for (const char* withheld : {PF_WorldSuite, PF_Iterate8Suite}) {
      SCOPED_TRACE(withheld);
      host::HostProfile profile;
      profile.withheldSuites = {withheld};
      auto host = hostWithLayer(host::Layer::still(frame), profile);
      ASSERT_TRUE(host);
      setParams(*host, params);
      const Rendered out = renderThroughModule(*host, request);
      ASSERT_TRUE(out.report.ok()) << out.report.message;
      EXPECT_TRUE(sameBytes(out.image, expected.image));
      const bool iterates = std::string(withheld) != PF_Iterate8Suite;
      EXPECT_EQ(host->stats().iterations > 0, iterates);
    }
  }
}

}  // namespace
}  // namespace fm::test
