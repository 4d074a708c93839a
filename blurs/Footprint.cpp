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
  // One axis: cut [lo, hi) to maxLen, centred on the reference but never before lo.
  auto cap = [](int32_t& lo, int32_t& hi, int64_t refLo, int64_t refHi, bool refEmpty, int64_t maxLen) {
    if (int64_t(hi) - lo <= maxLen) return;
    const int64_t c = !refEmpty ? (refLo + refHi) / 2 : (int64_t(lo) + hi) / 2;
    const int64_t start = std::max<int64_t>(c - maxLen / 2, lo);
    lo = int32_t(start);
    hi = int32_t(start + maxLen);
  };
  const bool refEmpty = isEmpty(reference);
  cap(out.left, out.right, reference.left, reference.right, refEmpty, maxExtent(scale[0]));
  cap(out.top, out.bottom, reference.top, reference.bottom, refEmpty, maxExtent(scale[1]));
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
