// Shared pieces of the Directional Motion Blur and Radial Blur tests: settings makers, layer
// makers, the references that compose the plans' own passes in double precision, and measures
// of a render's light.
#pragma once

#include <cmath>

#include "blurs/DirectionalBlur.h"
#include "blurs/RadialBlur.h"
#include "tests/blurs/BlurTestSupport.h"
#include "tests/support/GroupReference.h"

namespace grouptest {

inline RenderSettings directionalSettings(double direction, double length, bool low = false,
                                          blurtest::Scale sc = {}) {
  RenderSettings s;
  s.blurType = fm::kMotionBlur;
  s.motionBlurType = 1;
  s.direction = direction;
  s.blurLength = length;
  s.lowQuality = low;
  return blurtest::scaled(s, sc);
}

inline RenderSettings radialSettings(int type, double amount, double cx, double cy, int antialiasing = 1,
                                     bool low = false, blurtest::Scale sc = {}) {
  RenderSettings s;
  s.blurType = fm::kRadialBlur;
  s.radialType = type;
  s.radialAmount = amount;
  s.centerX = cx;
  s.centerY = cy;
  s.antialiasing = antialiasing;
  s.lowQuality = low;
  return blurtest::scaled(s, sc);
}

inline const double* scaleOf(const RenderSettings& s, double (&scale)[3]) {
  scale[0] = s.downsampleX;
  scale[1] = s.downsampleY;
  scale[2] = s.pixelAspect;
  return scale;
}

// A transparent layer with one opaque white pixel at (x, y).
inline fmtest::HostImage dot(int w, int h, int x, int y) {
  fmtest::HostImage im(w, h);
  im.at(x, y) = {1, 1, 1, 1};
  return im;
}

// The number of samples the passes of a directional blur place (their sizes' product).
inline double sampleProduct(const RenderSettings& s) {
  double scale[3];
  fm::DirectionalPlan plan;
  fm::makeDirectionalPlan(s, scaleOf(s, scale), plan);
  double n = 1;
  for (const fm::GroupPass& p : plan.passes) n *= double(p.taps.size() / 3);
  return n;
}

// The directional render as the plan's passes composed in double precision on a canvas that
// holds everything the streak can reach.
inline fmtest::RefImage directionalReference(const RenderSettings& s, const fmtest::HostImage& image,
                                             const fm::Rect& placed) {
  double scale[3];
  fm::DirectionalPlan plan;
  fm::makeDirectionalPlan(s, scaleOf(s, scale), plan);
  const fm::Rect canvas = fm::grownBy(placed, plan.reachX + 3, plan.reachY + 3);
  const fmtest::RefImage layer = fmtest::refLoad(image, placed, placed, canvas);
  return fmtest::refGroupPasses(layer, plan.passes, 0, 0, 1);
}

// The radial render as the plan's passes composed in double precision on `canvas`.
inline fmtest::RefImage radialReference(const RenderSettings& s, const fmtest::HostImage& image,
                                        const fm::Rect& placed, const fm::Rect& outRect, const fm::Rect& canvas) {
  double scale[3];
  fm::RadialPlan plan;
  fm::makeRadialPlan(s, scaleOf(s, scale), placed, outRect, plan);
  const fmtest::RefImage layer = fmtest::refLoad(image, placed, placed, canvas);
  return fmtest::refGroupPasses(layer, plan.passes, plan.sweep.cx, plan.sweep.cy, plan.kx);
}

// Light of one channel in an engine image covering `rect`: total, centroid and second moments.
struct Light {
  double total = 0, mx = 0, my = 0, vxx = 0, vyy = 0, vxy = 0;
};

inline Light lightOf(const fm::Buffer& out, const fm::Rect& rect, int channel = 3) {
  const float* px = static_cast<const float*>(out.data);
  auto value = [&](int x, int y) { return double(px[(size_t(y) * out.pitch + x) * 4 + channel]); };
  Light l;
  for (int y = 0; y < out.height; ++y)
    for (int x = 0; x < out.width; ++x) {
      const double v = value(x, y);
      l.total += v;
      l.mx += v * (rect.left + x + 0.5);
      l.my += v * (rect.top + y + 0.5);
    }
  if (l.total == 0) return l;
  l.mx /= l.total;
  l.my /= l.total;
  for (int y = 0; y < out.height; ++y)
    for (int x = 0; x < out.width; ++x) {
      const double v = value(x, y) / l.total;
      const double dx = rect.left + x + 0.5 - l.mx, dy = rect.top + y + 0.5 - l.my;
      l.vxx += v * dx * dx;
      l.vyy += v * dy * dy;
      l.vxy += v * dx * dy;
    }
  return l;
}

}  // namespace grouptest
