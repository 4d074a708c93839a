// Shared pieces of the Camera Lens Blur tests: settings, map layers, a render fixture over a
// backend that counts what is alive and can fail any allocation, upload or launch, and the
// iris area in closed form.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "engine/cpu/CpuBackend.h"
#include "blurs/Render.h"
#include "engine/RenderSettings.h"
#include "engine/ThreadParallel.h"
#include "tests/support/TestBackends.h"
#include "tests/support/TestImage.h"

namespace lenstest {

constexpr double kPi = 3.14159265358979323846;

// Camera Lens Blur with plain arithmetic (no linear light, no fringe) unless a test asks for them.
inline RenderSettings lensSettings(double radius, bool repeat = true) {
  RenderSettings s;
  s.blurType = fm::kCameraLensBlur;
  s.blurRadius = radius;
  s.lensRepeatEdgePixels = repeat;
  s.diffractionFringe = 0;
  s.useLinearWorkingSpace = false;
  return s;
}

// Area of the iris of radius r: the regular polygon of circumradius r, each boundary point moved
// half a pixel outward along its ray, stretched by the aspect ratio (integral of (rho + 1/2)^2 / 2).
inline double irisArea(int sides, double r, double aspect = 1.0) {
  const double half = kPi / sides;
  const double polygon = 0.5 * sides * r * r * std::sin(2 * half);
  const double edge = sides * r * std::cos(half) * std::log(1 / std::cos(half) + std::tan(half));
  return aspect * (polygon + edge + kPi / 4);
}

// A map layer: an image placed at `rect` within the layer's full rectangle `bounds`.
struct MapLayer {
  fmtest::HostImage image;
  fm::Rect rect;
  fm::Rect bounds;
};

// An opaque grey map whose luminance is value(x, y) (map image coordinates).
template <typename F>
MapLayer greyMap(int w, int h, const fm::Rect& at, F value) {
  MapLayer m{fmtest::HostImage(w, h), at, at};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const float v = float(value(x, y));
      m.image.at(x, y) = fmtest::Px{v, v, v, 1.0f};
    }
  return m;
}

// The counting CPU backend, also able to refuse the n-th table upload, and keeping the largest
// number of images alive at once.
class LensBackend final : public fm::ForwardingBackend<fmtest::CountingBackend> {
 public:
  explicit LensBackend(fm::Parallel* par) : ForwardingBackend(par) {}
  bool allocImage(fm::Buffer& b, int w, int h) override {
    if (!inner.allocImage(b, w, h)) return false;
    peakImages = std::max(peakImages, inner.liveImages);
    return true;
  }
  bool uploadTable(fm::Table& t, const float* v, size_t n) override {
    ++uploadCalls;
    if (failUpload && uploadCalls == failUpload) return false;
    return inner.uploadTable(t, v, n);
  }

  int uploadCalls = 0, failUpload = 0;
  int peakImages = 0;
};

// Renders through the driver; the output stays until the next render or the end of the test,
// which also checks that no image or table was left allocated.
class LensRender : public ::testing::Test {
 protected:
  bool render(RenderSettings s, const fmtest::HostImage& image, const fm::Rect& placed, const fm::Rect& outRect,
              const MapLayer* map = nullptr, const fm::Rect* layerBounds = nullptr) {
    be.freeImage(out);
    outAt = outRect;
    const fm::Buffer in = image.buffer();
    fm::PlacedImage input;
    input.buffer = &in;
    input.rect = placed;
    fm::Buffer mapBuffer;
    fm::MapImage mapImage;
    if (map) {
      mapBuffer = map->image.buffer();
      mapImage.buffer = &mapBuffer;
      mapImage.rect = map->rect;
      mapImage.bounds = map->bounds;
      s.hasBlurMap = true;
    }
    const double scale[3] = {s.downsampleX, s.downsampleY, s.pixelAspect};
    message.clear();
    return fm::render(be, s, scale, input, placed, layerBounds ? *layerBounds : placed, map ? &mapImage : nullptr,
                      outRect, out, &message);
  }

  // Output pixel at layer position (x, y).
  const fmtest::Px& at(int x, int y) const {
    return static_cast<const fmtest::Px*>(out.data)[size_t(y - outAt.top) * out.pitch + (x - outAt.left)];
  }

  // Largest channel difference from `image` (placed at `placed`) over `area`, NaN counting as infinite.
  double differenceFrom(const fmtest::HostImage& image, const fm::Rect& placed, const fm::Rect& area) const {
    double worst = 0;
    for (int y = area.top; y < area.bottom; ++y)
      for (int x = area.left; x < area.right; ++x) worst = std::max(worst, pixelDifference(image, placed, x, y));
    return worst;
  }

  double pixelDifference(const fmtest::HostImage& image, const fm::Rect& placed, int x, int y) const {
    const fmtest::Px& a = at(x, y);
    const fmtest::Px& b = image.at(x - placed.left, y - placed.top);
    const double d = std::max({std::fabs(a.r - b.r), std::fabs(a.g - b.g), std::fabs(a.b - b.b), std::fabs(a.a - b.a)});
    return std::isnan(d) ? HUGE_VAL : d;
  }

  bool allFinite() const { return fmtest::allFinite(snapshot()); }

  // A copy of the output, for comparing renders.
  fmtest::HostImage snapshot() const {
    fmtest::HostImage im(out.width, out.height);
    for (int y = 0; y < out.height; ++y)
      for (int x = 0; x < out.width; ++x) im.at(x, y) = at(outAt.left + x, outAt.top + y);
    return im;
  }

  void TearDown() override {
    be.freeImage(out);
    EXPECT_EQ(be.inner.liveImages, 0);
    EXPECT_EQ(be.inner.liveTables, 0);
  }

  fm::ThreadParallel par{2};
  LensBackend be{&par};
  fm::Buffer out;
  fm::Rect outAt;
  std::string message;
};

}  // namespace lenstest
