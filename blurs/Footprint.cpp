#include "blurs/Footprint.h"

#include <algorithm>
#include <cmath>

#include "blurs/BlurKind.h"
#include "blurs/Render.h"

namespace fm {
namespace {

// Largest extent along one axis: floor(29990 x downsample), at least 1.
int64_t maxExtent(double downsample) {
  const double m = std::floor(downsample * 29990.0);
  return m >= 2 ? int64_t(std::min(m, 2e9)) : 1;
}

Rect zeroIfEmpty(const Rect& r) { return isEmpty(r) ? Rect{} : r; }

}  // namespace

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

Rect outputExtent(const RenderSettings& s, const double scale[3], const Rect& B) {
  if (isEmpty(B)) return B;
  const BlurKind* kind = blurKind(s.blurType);
  if (!kind || kind->negligible(s, scale) || kind->staysInBounds(s)) return capExtent(B, B, scale);
  return capExtent(kind->spread(s, scale, B, true, false), B, scale);
}

Rect inputRequest(const RenderSettings& s, const double scale[3], const Rect& R, const Rect& limit) {
  if (isEmpty(R)) return R;
  if (isNegligible(s, scale)) return zeroIfEmpty(intersection(R, limit));
  return zeroIfEmpty(intersection(blurKind(s.blurType)->spread(s, scale, R, false, true), limit));
}

Rect resultRect(const RenderSettings& s, const double scale[3], const Rect& R, const Rect& B) {
  Rect S = intersection(R, B);
  if (isEmpty(S)) return Rect{};
  if (!isNegligible(s, scale)) S = blurKind(s.blurType)->spread(s, scale, S, true, false);
  return zeroIfEmpty(intersection(S, outputExtent(s, scale, B)));
}

double stretchAlong(int32_t lLo, int32_t lHi, int32_t mLo, int32_t mHi) {
  const double lSize = double(lHi) - lLo;
  return lSize > 0 ? (double(mHi) - mLo) / lSize : 1.0;
}

Rect mapRequest(const RenderSettings& s, const double scale[3], const Rect& R, const Rect& B,
                const Rect& layerBounds, const Rect& mapBounds) {
  if (isEmpty(R) || isEmpty(mapBounds)) return Rect{};
  const BlurKind* kind = blurKind(s.blurType);
  if (!kind || !kind->mapRequest) return Rect{};
  return kind->mapRequest(s, scale, R, B, layerBounds, mapBounds);
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
