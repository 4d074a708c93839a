#include "tracking/MotionBlurStage.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "tracking/TrackedCopy.h"

namespace fm {
namespace {

// The longest tile vector read back from the device; `fallback` when that fails.
float longestTile(Backend& be, const Buffer& tiles, int tw, int th, float fallback) {
  try {
    std::vector<float> host(size_t(tiles.height) * size_t(tiles.pitch) * 4u, 0.0f);
    if (!be.download(tiles, host.data())) return fallback;
    float m = 0.0f;
    for (int y = 0; y < th; ++y)
      for (int x = 0; x < tw; ++x) m = std::max(m, host[(size_t(y) * size_t(tiles.pitch) + size_t(x)) * 4u + 2u]);
    return m;
  } catch (const std::bad_alloc&) {
    return fallback;
  }
}

}  // namespace

int motionTiles(int extent) { return int((int64_t(extent) + kMotionTile - 1) / kMotionTile); }

int neighbourRadius(float maxLen) {
  // Limited well inside the int range; a radius past the tile grid scans the same tiles.
  const double r = std::ceil(double(std::min(maxLen, 1e8f)) * 0.0625);
  return std::max(1, int(r));
}

bool runBlurStage(Backend& be, ScratchPool& pool, const Buffer& velocity, float limit, const PlacedImage& current,
                  Buffer& out, const Rect& outRect, std::string* message) {
  const int tw = motionTiles(velocity.width), th = motionTiles(velocity.height);
  Buffer* t1 = pool.take(tw, th);
  Buffer* t2 = t1 ? pool.take(tw, th) : nullptr;
  if (!t2) {
    setMessage(message, "memory");
    return false;
  }
  FMParams p;
  makeParams(p, t1, &velocity, nullptr);
  p.n = kMotionTile;
  if (!be.launch(FM_K_TILEMAX, t1, &velocity, nullptr, nullptr, &p, tw, th, double(kMotionTile * kMotionTile))) {
    setMessage(message, "tiles");
    return false;
  }
  const float maxLen = longestTile(be, *t1, tw, th, limit);
  if (!(maxLen >= 0.5f)) return copyCurrentFrame(be, *current.buffer, current.rect, out, outRect, message);
  const int r = neighbourRadius(maxLen);
  const double scanCost = 2.0 * double(r) + 1.0;
  for (int pass = 0; pass < 2; ++pass) {
    Buffer* from = pass == 0 ? t1 : t2;
    Buffer* to = pass == 0 ? t2 : t1;
    makeParams(p, to, from, nullptr);
    p.mode = pass;
    p.n = r;
    if (!be.launch(FM_K_NEIGHBORMAX, to, from, nullptr, nullptr, &p, tw, th, scanCost)) {
      setMessage(message, "tiles");
      return false;
    }
  }
  pool.release(t2);
  makeParams(p, &out, current.buffer, &velocity);
  Table tab;
  tab.data = t1->data;
  tab.count = uint64_t(t1->height) * uint64_t(t1->pitch) * 4u;
  p.n = t1->pitch;
  p.segLen = kMotionTile;
  p.lo = tw;
  p.hi = th;
  p.count = kMotionSamples;
  p.ax = originOffset(outRect.left, current.rect.left);
  p.ay = originOffset(outRect.top, current.rect.top);
  const double cost = std::min(2.0 * double(maxLen) + 1.0, double(kMotionSamples)) * 8.0;
  if (be.launch(FM_K_MBLUR, &out, current.buffer, &velocity, &tab, &p, out.width, out.height, cost)) return true;
  if (!be.wasAborted()) setMessage(message, "blur");
  return false;
}

}  // namespace fm
