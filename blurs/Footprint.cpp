#include "blurs/Footprint.h"

#include <algorithm>
#include <cmath>

#include "blurs/BoxBlur.h"
#include "blurs/CameraLensPlan.h"
#include "blurs/GaussianBlur.h"
#include "blurs/RadialBlur.h"
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

Reach fromPlan(const int32_t r[4]) { return Reach{r[0], r[1], r[2], r[3]}; }

Reach separableReach(const RenderSettings& s, const double scale[3], bool gaussian) {
  SeparablePlan plan;
  (gaussian ? makeGaussianPlan : makeBoxPlan)(s, scale, plan);
  return fromPlan(plan.reach);
}

Rect zeroIfEmpty(const Rect& r) { return isEmpty(r) ? Rect{} : r; }

// How far a pixel of this kind takes colour from, as a rectangle: the grown rectangle for
// the reach-based kinds, the swept rectangle for Radial Blur. `forward` asks where the
// pixels of `r` can reach; otherwise which pixels the output pixels of `r` read.
Rect spread(const RenderSettings& s, const double scale[3], const Rect& r, bool forward, bool vectorSoftness) {
  switch (s.blurType) {
    case kVectorBlur:
      return grow(r, vectorReach(s, scale, vectorSoftness));
    case kGaussianBlur:
      return grow(r, separableReach(s, scale, true));
    case kCameraLensBlur:
      return grow(r, fromPlan(makeLensPlan(s, scale).reach));
    case kBoxBlur:
      return grow(r, separableReach(s, scale, false));
    case kRadialBlur:
      return boundingBox(r, radialBounds(makeRadialSweep(s), r, forward, scale));
    case kMotionBlur:
      return grow(r, directionalReach(s, scale));
    default:
      return r;
  }
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

Rect outputExtent(const RenderSettings& s, const double scale[3], const Rect& B) {
  if (isEmpty(B)) return B;
  if (isNegligible(s, scale)) return capExtent(B, B, scale);
  switch (s.blurType) {
    case kGaussianBlur:
      if (s.gaussianRepeatEdgePixels) return capExtent(B, B, scale);
      break;
    case kCameraLensBlur:
      if (s.lensRepeatEdgePixels) return capExtent(B, B, scale);
      break;
    case kBoxBlur:
      if (s.boxRepeatEdgePixels) return capExtent(B, B, scale);
      break;
    case kRadialBlur:
    case kMotionBlur:
      break;
    default:  // Vector Blur does not grow the layer
      return capExtent(B, B, scale);
  }
  return capExtent(spread(s, scale, B, true, false), B, scale);
}

Rect inputRequest(const RenderSettings& s, const double scale[3], const Rect& R, const Rect& limit) {
  if (isEmpty(R)) return R;
  if (isNegligible(s, scale)) return zeroIfEmpty(intersection(R, limit));
  return zeroIfEmpty(intersection(spread(s, scale, R, false, true), limit));
}

Rect resultRect(const RenderSettings& s, const double scale[3], const Rect& R, const Rect& B) {
  Rect S = intersection(R, B);
  if (isEmpty(S)) return Rect{};
  if (!isNegligible(s, scale)) S = spread(s, scale, S, true, false);
  return zeroIfEmpty(intersection(S, outputExtent(s, scale, B)));
}

namespace {

// Map pixels per layer pixel along one axis when the map is stretched onto the layer.
double stretchAlong(int32_t lLo, int32_t lHi, int32_t mLo, int32_t mHi) {
  const double lSize = double(lHi) - lLo;
  return lSize > 0 ? (double(mHi) - mLo) / lSize : 1.0;
}

}  // namespace

Rect mapRequest(const RenderSettings& s, const double scale[3], const Rect& R, const Rect& B,
                const Rect& layerBounds, const Rect& mapBounds) {
  if (isEmpty(R) || isEmpty(mapBounds)) return Rect{};
  if (s.blurType == kCameraLensBlur) {
    const LensPlan plan = makeLensPlan(s, scale);
    const Reach reach = fromPlan(plan.reach);
    const Rect Q = intersection(grow(R, reach), s.lensRepeatEdgePixels ? B : grow(B, reach));
    // The margin is in render pixels' worth of map: a reduced render reads the map at pixel
    // centres up to half a reduced pixel beyond Q, which a stretched map widens in map pixels.
    const bool stretch = s.blurMapPlacement == 2;
    double k = 1.0;
    if (stretch)
      k = std::max({k, stretchAlong(layerBounds.left, layerBounds.right, mapBounds.left, mapBounds.right),
                    stretchAlong(layerBounds.top, layerBounds.bottom, mapBounds.top, mapBounds.bottom)});
    const int margin = int(std::min(std::ceil((plan.factor + 2) * k), double(kCoordLimit)));
    return placeOnMap(Q, layerBounds, mapBounds, stretch, margin);
  }
  if (s.blurType == kVectorBlur) {
    Rect Q = intersection(grow(R, vectorReach(s, scale, false)), B);
    if (!isEmpty(Q)) {
      const VectorSoftening soft = makeVectorSoftening(s, scale);
      Q = grownBy(Q, soft.hReach, soft.vReach);
    }
    return placeOnMap(Q, layerBounds, mapBounds, true, 2);
  }
  return Rect{};
}

Rect placeOnMap(const Rect& rect, const Rect& L, const Rect& M, bool stretch, int margin) {
  if (isEmpty(rect) || isEmpty(M)) return Rect{};
  // One axis: [lo, hi) of the layer into map coordinates, widened and kept within the map.
  auto axis = [&](int32_t lo, int32_t hi, int32_t lLo, int32_t lHi, int32_t mLo, int32_t mHi, int32_t& outLo,
                  int32_t& outHi) {
    double a, b;
    if (stretch) {
      const double k = stretchAlong(lLo, lHi, mLo, mHi);
      a = (double(lo) - lLo) * k + mLo;
      b = (double(hi) - lLo) * k + mLo;
    } else {
      const double shift = (double(mLo) + mHi) / 2 - (double(lLo) + lHi) / 2;
      a = lo + shift;
      b = hi + shift;
    }
    const double left = std::floor(std::max(a, -1e9)) - margin;
    const double right = std::ceil(std::min(b, 1e9)) + margin;
    const double kept0 = std::max(left, double(mLo)), kept1 = std::min(right, double(mHi));
    // Decided before converting: a rectangle mapped past the map's far side is empty, and its
    // coordinates may not fit 32 bits.
    if (!(kept0 < kept1)) {
      outLo = outHi = 0;
      return;
    }
    outLo = int32_t(kept0);
    outHi = int32_t(kept1);
  };
  Rect out;
  axis(rect.left, rect.right, L.left, L.right, M.left, M.right, out.left, out.right);
  axis(rect.top, rect.bottom, L.top, L.bottom, M.top, M.bottom, out.top, out.bottom);
  return zeroIfEmpty(out);
}

}  // namespace fm
