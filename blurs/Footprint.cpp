#include "blurs/Footprint.h"

#include <algorithm>
#include <cmath>

#include "blurs/VectorSoftening.h"
#include "engine/Render.h"

namespace fm {
namespace {

constexpr double kPi = 3.14159265358979323846;

int32_t limited(int64_t v) { return int32_t(std::min<int64_t>(std::max<int64_t>(v, 0), kCoordLimit)); }

// Reach of a length in pixels: whole pixels plus `extra`, with a ceiling for absurd lengths.
int64_t lengthReach(double length, int64_t extra) {
  if (!(length > 0)) return extra;
  if (length > 1e8) return 100000000 + extra;
  return int64_t(std::ceil(length - 1e-9)) + extra;
}

// Largest extent along one axis: floor(29990 x downsample), at least 1.
int64_t maxExtent(double downsample) {
  const double m = std::floor(downsample * 29990.0);
  return m >= 2 ? int64_t(std::min(m, 2e9)) : 1;
}

}  // namespace

Rect grow(const Rect& rect, const Reach& r) {
  if (isEmpty(rect)) return rect;
  using rectDetail::clampCoord;
  return Rect{int32_t(clampCoord(int64_t(rect.left) - r.left)), int32_t(clampCoord(int64_t(rect.top) - r.top)),
              int32_t(clampCoord(int64_t(rect.right) + r.right)),
              int32_t(clampCoord(int64_t(rect.bottom) + r.bottom))};
}

Rect capExtent(const Rect& rect, const Rect& reference, const double scale[3]) {
  Rect out = rect;
  const int64_t maxW = maxExtent(scale[0]), maxH = maxExtent(scale[1]);
  if (width(out) > maxW) {
    const int64_t c = !isEmpty(reference) ? (int64_t(reference.left) + reference.right) / 2
                                          : (int64_t(out.left) + out.right) / 2;
    const int64_t left = std::max<int64_t>(c - maxW / 2, out.left);
    out.left = int32_t(left);
    out.right = int32_t(left + maxW);
  }
  if (height(out) > maxH) {
    const int64_t c = !isEmpty(reference) ? (int64_t(reference.top) + reference.bottom) / 2
                                          : (int64_t(out.top) + out.bottom) / 2;
    const int64_t top = std::max<int64_t>(c - maxH / 2, out.top);
    out.top = int32_t(top);
    out.bottom = int32_t(top + maxH);
  }
  return out;
}

Reach vectorReach(const RenderSettings& s, const double scale[3], bool withSoftness) {
  const double a = std::fabs(s.vectorAmount);
  int64_t rx = lengthReach(a * scaleX(scale), 2);
  int64_t ry = lengthReach(a * scaleY(scale), 2);
  if (withSoftness) {
    const VectorSoftening soft = makeVectorSoftening(s, scale);
    rx += soft.hReach + 1;
    ry += soft.vReach + 1;
  }
  return Reach{limited(rx), limited(ry), limited(rx), limited(ry)};
}

Reach directionalReach(const RenderSettings& s, const double scale[3]) {
  const double theta = s.direction * kPi / 180.0;
  const double length = s.blurLength > 0 ? s.blurLength : 0.0;
  const double hx = std::fabs(std::sin(theta) * length * scaleX(scale)) / 2;
  const double hy = std::fabs(std::cos(theta) * length * scaleY(scale)) / 2;
  const int32_t rx = limited(lengthReach(hx, 1)), ry = limited(lengthReach(hy, 1));
  return Reach{rx, ry, rx, ry};
}

}  // namespace fm
