// Shared pieces of the blur tests: a backend that records what the planning code asks of it,
// settings makers, and a fixture that renders through fm::render on the CPU.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/cpu/CpuBackend.h"
#include "engine/ForwardingBackend.h"
#include "blurs/Render.h"
#include "engine/RenderSettings.h"
#include "engine/ThreadParallel.h"
#include "tests/support/Reference.h"
#include "tests/support/TestBackends.h"
#include "tests/support/TestImage.h"

namespace blurtest {

// The thread pool of a RecordingBackend, made before the CPU backend that uses it.
struct TwoThreads {
  fm::ThreadParallel par{2};
};

// Runs every launch on the CPU kernels but can claim to be a GPU (so the planning code picks
// its GPU strategies), records every launch's block and every release, and can report an
// abort after a given number of launches without failing them.
class RecordingBackend final : private TwoThreads, public fm::ForwardingBackend<fm::CpuBackend> {
 public:
  struct Launch {
    int kernel;
    FMParams p;
    int gridW, gridH;
    double cost;
  };

  explicit RecordingBackend(bool gpu = false) : ForwardingBackend(&par, nullptr, nullptr), gpu(gpu) {}

  bool allocImage(fm::Buffer& b, int w, int h) override {
    if (!inner.allocImage(b, w, h)) return false;
    allocated.push_back(b.data);
    sizes.push_back({w, h});
    return true;
  }
  void freeImage(fm::Buffer& b) override {
    if (b.data && b.owned) freed.push_back(b.data);
    inner.freeImage(b);
  }
  bool launch(int k, fm::Buffer* d, const fm::Buffer* a, const fm::Buffer* b, const fm::Table* t, FMParams* p,
              int gw, int gh, double cost) override {
    launches.push_back(Launch{k, *p, gw, gh, cost});
    return inner.launch(k, d, a, b, t, p, gw, gh, cost);
  }
  bool isGpu() const override { return gpu; }
  bool wasAborted() const override {
    return inner.wasAborted() || (abortAfter > 0 && int(launches.size()) >= abortAfter);
  }

  std::vector<int> kernels() const {
    std::vector<int> k;
    for (const Launch& l : launches) k.push_back(l.kernel);
    return k;
  }
  size_t live() const { return allocated.size() - freed.size(); }

  bool gpu;
  int abortAfter = 0;
  std::vector<Launch> launches;
  std::vector<void*> allocated, freed;
  std::vector<std::pair<int, int>> sizes;
};

struct Scale {
  double dsx = 1, dsy = 1, par = 1;
};

// The settings with the render scale `sc` applied.
inline RenderSettings scaled(RenderSettings s, const Scale& sc) {
  s.downsampleX = sc.dsx;
  s.downsampleY = sc.dsy;
  s.pixelAspect = sc.par;
  return s;
}

inline RenderSettings boxSettings(double radius, int iterations, int dims = 1, bool repeat = false,
                                  Scale sc = {}) {
  RenderSettings s;
  s.blurType = fm::kBoxBlur;
  s.boxBlurRadius = radius;
  s.iterations = iterations;
  s.boxDimensions = dims;
  s.boxRepeatEdgePixels = repeat;
  return scaled(s, sc);
}

inline RenderSettings gaussianSettings(double blurriness, bool repeat, int dims = 1, bool lowBitDepth = false,
                                       Scale sc = {}) {
  RenderSettings s;
  s.blurType = fm::kGaussianBlur;
  s.blurriness = blurriness;
  s.gaussianRepeatEdgePixels = repeat;
  s.gaussianDimensions = dims;
  s.lowBitDepth = lowBitDepth;
  return scaled(s, sc);
}

// Renders through the driver on a counting CPU backend; the output stays until the next
// render or the end of the test, which also checks that nothing was left allocated.
class BlurRender : public ::testing::Test {
 protected:
  bool render(const RenderSettings& s, const fmtest::HostImage& image, const fm::Rect& placedAt,
              const fm::Rect& inputBounds, const fm::Rect& outRect) {
    be.freeImage(out);
    const fm::Buffer in = image.buffer();
    fm::PlacedImage placed;
    placed.buffer = &in;
    placed.rect = placedAt;
    const double scale[3] = {s.downsampleX, s.downsampleY, s.pixelAspect};
    message = "";
    return fm::render(be, s, scale, placed, inputBounds, placedAt, nullptr, outRect, out, &message);
  }

  // The output pixel at layer position (x, y) of a render over outRect r.
  const fmtest::Px& at(const fm::Rect& r, int x, int y) const {
    return static_cast<const fmtest::Px*>(out.data)[size_t(y - r.top) * out.pitch + (x - r.left)];
  }

  void TearDown() override {
    be.freeImage(out);
    EXPECT_EQ(be.liveImages, 0);
  }

  fm::ThreadParallel par{2};
  fmtest::CountingBackend be{&par};
  fm::Buffer out;
  std::string message;
};

// Whether the layer's edges repeat outward. Such a layer keeps its size: the footprint never
// offers the host anything beyond it, and what a render would put there is never asked for.
inline bool repeatsEdges(const RenderSettings& s) {
  return (s.blurType == fm::kGaussianBlur && s.gaussianRepeatEdgePixels) ||
         (s.blurType == fm::kBoxBlur && s.boxRepeatEdgePixels) ||
         (s.blurType == fm::kCameraLensBlur && s.lensRepeatEdgePixels);
}

// Random premultiplied pixels: alpha in [0.2, 1], colour at most alpha.
inline fmtest::HostImage premultipliedImage(int w, int h, uint32_t seed) {
  fmtest::HostImage im = fmtest::randomImage(w, h, seed, 0.0f, 1.0f);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      fmtest::Px& p = im.at(x, y);
      p.a = 0.2f + 0.8f * p.a;
      p.r *= p.a;
      p.g *= p.a;
      p.b *= p.a;
    }
  return im;
}

}  // namespace blurtest
