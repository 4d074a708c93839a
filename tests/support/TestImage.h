// Host-side RGBA float images for tests, and ways to make and compare them.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/Backend.h"

namespace fmtest {

struct alignas(16) Px {
  float r = 0, g = 0, b = 0, a = 0;
};

// Pixels are 16-byte aligned so a Buffer can wrap them directly.
class HostImage {
 public:
  HostImage() = default;
  HostImage(int width, int height, int pitch = 0);

  int width() const { return w; }
  int height() const { return h; }
  int pitch() const { return p; }
  Px& at(int x, int y) { return px[size_t(y) * p + x]; }
  const Px& at(int x, int y) const { return px[size_t(y) * p + x]; }
  float* data() { return reinterpret_cast<float*>(px.data()); }
  const float* data() const { return reinterpret_cast<const float*>(px.data()); }
  size_t floats() const { return px.size() * 4; }
  void fill(Px v);

  // An unowned engine handle over these pixels.
  fm::Buffer buffer() const;

 private:
  int w = 0, h = 0, p = 0;
  std::vector<Px> px;
};

// Random values in [lo, hi); with `specials`, about one value in eight is NaN, +-inf,
// a huge or tiny finite number, or a negative zero.
HostImage randomImage(int width, int height, uint32_t seed, float lo = -0.5f, float hi = 1.5f,
                      bool specials = false, int pitch = 0);

// Whether every channel of every pixel is finite.
bool allFinite(const HostImage& im);

// Equality of two floats where NaN equals NaN and -0 equals +0.
bool sameFloat(float a, float b);

// The first differing pixel as text ("" when the images agree, NaN equal to NaN). Finite values
// agree when they differ by at most tol + rel * max(|a|, |b|).
std::string firstDifference(const HostImage& a, const HostImage& b, float tol = 0.0f, float rel = 0.0f);

}  // namespace fmtest
