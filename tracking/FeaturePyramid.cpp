#include "tracking/FeaturePyramid.h"

#include <algorithm>
#include <cmath>

#include "engine/Choices.h"
#include "engine/HostMemory.h"

namespace fm {
namespace {

bool build(Backend& be, ScratchPool& pool, const PlacedImage& frame, const Rect& rect, int coarsest,
           FeaturePyramid& pyramid) {
  pyramid.assign(size_t(coarsest) + 1, nullptr);
  Buffer* level = pool.take(width(rect), height(rect));
  if (!level) return false;
  FMParams p;
  makeParams(p, level, frame.buffer, nullptr);
  p.ax = paramOffset(int64_t(rect.left) - frame.rect.left);
  p.ay = paramOffset(int64_t(rect.top) - frame.rect.top);
  if (!be.launch(FM_K_FEAT, level, frame.buffer, nullptr, nullptr, &p, level->width, level->height, 2.0))
    return false;
  pyramid[0] = level;
  for (int k = 1; k <= coarsest; ++k) {
    const Buffer* finer = pyramid[size_t(k) - 1];
    Buffer* half = pool.take((int64_t(finer->width) + 1) / 2, (int64_t(finer->height) + 1) / 2);
    if (!half) return false;
    makeParams(p, half, finer, nullptr);
    if (!be.launch(FM_K_HALF, half, finer, nullptr, nullptr, &p, half->width, half->height, 4.0)) return false;
    pyramid[size_t(k)] = half;
  }
  return true;
}

}  // namespace

bool buildFeaturePyramid(Backend& be, ScratchPool& pool, const PlacedImage& frame, const Rect& rect,
                         int coarsest, FeaturePyramid& pyramid) {
  pyramid.clear();
  if (!isPresent(frame) || !frame.buffer->data || isEmpty(rect)) return false;
  if (coarsest < 0 || coarsest > kMaxPyramidLevel) return false;
  return falseOnBadAlloc([&] {
    return build(be, pool, frame, rect, coarsest, pyramid);
  });
}

PyramidRange choosePyramidRange(int64_t width, int64_t height, int vectorDetail, float maxFlow) {
  PyramidRange r;
  // A limit that is not a number tracks nothing rather than descending to the last level.
  r.maxFlow = maxFlow == maxFlow ? maxFlow : 0.0f;
  const int64_t m = std::max<int64_t>(std::min(width, height), 0);
  // "Full" starts at level 0, "Half" at 1, "Quarter" at 2.
  int finest = std::clamp(vectorDetail, int(kDetailFull), int(kDetailQuarter)) - kDetailFull;
  while (finest > 0 && (m >> finest) < 16) --finest;
  int L = finest;
  while (!(r.maxFlow / levelFactor(L) <= 4.0f) && L <= 11 && (m >> (L + 1)) >= 8) ++L;
  r.finest = finest;
  r.coarsest = L;
  return r;
}

void releasePyramid(ScratchPool& pool, FeaturePyramid& pyramid) {
  for (Buffer* level : pyramid) pool.release(level);
  pyramid.clear();
}

float levelFactor(int level) { return std::ldexp(1.0f, level); }

}  // namespace fm
