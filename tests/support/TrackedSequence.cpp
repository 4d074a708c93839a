#include "tests/support/TrackedSequence.h"

#include "tests/support/FlowFrames.h"

namespace fmtest {

SquareSequence squareSequence(int w, int h, int x0, int y0, int side, double dx, double dy, uint32_t seed) {
  SquareSequence s;
  FlowPair fwd = movingSquarePair(w, h, x0, y0, side, dx, dy, seed);
  FlowPair bwd = movingSquarePair(w, h, x0, y0, side, -dx, -dy, seed);
  s.current = fwd.current;
  s.next = fwd.other;
  s.previous = bwd.other;
  s.x0 = x0;
  s.y0 = y0;
  s.side = side;
  s.dx = dx;
  s.dy = dy;
  return s;
}

RenderSettings trackedSettings(int motionOutput, double blurAmount, double sensitivity) {
  RenderSettings s;
  s.blurType = fm::kMotionBlur;
  s.motionBlurType = 2;
  s.frameMode = fm::kFrameTracked;
  s.motionOutput = motionOutput;
  s.blurAmount = blurAmount;
  s.motionSensitivity = sensitivity;
  return s;
}

TrackedRun runTracked(fm::Backend& be, const RenderSettings& s, const HostImage& current, const HostImage* previous,
                      const HostImage* next, const fm::Rect& outRect, const HostImage* matte) {
  const fm::Buffer cb = current.buffer();
  const fm::Buffer pb = previous ? previous->buffer() : fm::Buffer{};
  const fm::Buffer nb = next ? next->buffer() : fm::Buffer{};
  const fm::Buffer mb = matte ? matte->buffer() : fm::Buffer{};
  const fm::PlacedImage prev{&pb, previous ? fm::Rect{0, 0, previous->width(), previous->height()} : fm::Rect{}};
  const fm::PlacedImage nxt{&nb, next ? fm::Rect{0, 0, next->width(), next->height()} : fm::Rect{}};
  const fm::PlacedImage mat{&mb, matte ? fm::Rect{0, 0, matte->width(), matte->height()} : fm::Rect{}};
  fm::TrackedFrames frames;
  frames.current = {&cb, {0, 0, current.width(), current.height()}};
  frames.previous = previous ? &prev : nullptr;
  frames.next = next ? &nxt : nullptr;
  frames.matte = matte ? &mat : nullptr;
  TrackedRun r;
  fm::Buffer out;
  r.ok = fm::renderTrackedMotion(be, s, frames, outRect, out, &r.message);
  if (out.data) {
    r.out = HostImage(out.width, out.height, out.pitch);
    if (!be.download(out, r.out.data())) r.out = HostImage();
  }
  be.freeImage(out);
  return r;
}

void decodeVector(const Px& c, int bitDepth, double range, double& u, double& v) {
  if (bitDepth >= 32) {
    u = c.r * range;
    v = -c.g * range;
  } else if (bitDepth >= 16) {
    u = (c.r - 0.5) * 2.0 * range;
    v = -(c.g - 0.5) * 2.0 * range;
  } else {
    u = (c.r * 255.0 - 127.0) / 127.0 * range;
    v = -(c.g * 255.0 - 127.0) / 127.0 * range;
  }
}

}  // namespace fmtest
