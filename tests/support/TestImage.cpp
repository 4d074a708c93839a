#include "tests/support/TestImage.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace fmtest {

HostImage::HostImage(int width, int height, int pitch)
    : w(width), h(height), p(pitch > 0 ? pitch : width), px(size_t(h) * p) {}

void HostImage::fill(Px v) {
  for (Px& q : px) q = v;
}

fm::Buffer HostImage::buffer() const {
  fm::Buffer b;
  b.data = const_cast<Px*>(px.data());
  b.width = w;
  b.height = h;
  b.pitch = p;
  b.owned = false;
  return b;
}

HostImage randomImage(int width, int height, uint32_t seed, float lo, float hi, bool specials,
                      int pitch) {
  HostImage im(width, height, pitch);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> val(lo, hi);
  std::uniform_int_distribution<int> pick(0, 7 * 8 - 1);
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float odd[7] = {nan, inf, -inf, 3.0e38f, 1e-30f, -0.0f, 1e-8f};
  float* f = im.data();
  for (size_t i = 0; i < im.floats(); ++i) {
    f[i] = val(rng);
    if (specials) {
      const int k = pick(rng);
      if (k < 7) f[i] = odd[k];
    }
  }
  return im;
}

bool sameFloat(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return a == b;
}

std::string firstDifference(const HostImage& a, const HostImage& b, float tol, float rel) {
  if (a.width() != b.width() || a.height() != b.height()) return "sizes differ";
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x) {
      const float* u = &a.at(x, y).r;
      const float* v = &b.at(x, y).r;
      for (int c = 0; c < 4; ++c) {
        const bool ok = sameFloat(u[c], v[c]) ||
                        (std::isfinite(u[c]) && std::isfinite(v[c]) &&
                         std::fabs(u[c] - v[c]) <= tol + rel * std::fmax(std::fabs(u[c]), std::fabs(v[c])));
        if (!ok) {
          char buf[160];
          std::snprintf(buf, sizeof buf, "pixel (%d, %d) channel %d: %.9g vs %.9g", x, y, c,
                        double(u[c]), double(v[c]));
          return buf;
        }
      }
    }
  return "";
}

bool allFinite(const HostImage& im) {
  for (int y = 0; y < im.height(); ++y)
    for (int x = 0; x < im.width(); ++x) {
      const Px& p = im.at(x, y);
      if (!std::isfinite(p.r) || !std::isfinite(p.g) || !std::isfinite(p.b) || !std::isfinite(p.a)) return false;
    }
  return true;
}

}  // namespace fmtest
