#include "tracking/MotionVelocity.h"

#include <algorithm>
#include <cmath>

#include "tracking/TrackedCopy.h"

namespace fm {
namespace {

double clampAmount(double a) { return a > 0.0 ? std::min(a, 4.0) : 0.0; }  // NaN -> 0

bool matteTakesPart(const PlacedImage* m) { return m && isPresent(*m) && m->buffer->data; }

}  // namespace

float velocityScale(const VelocityStage& s) {
  return s.vectorsOutput ? 1.0f : float(clampAmount(s.blurAmount) * 0.5);
}

float velocityLimit(const VelocityStage& s) {
  if (s.vectorsOutput) return s.maxFlow;
  return std::max(0.0f, float(clampAmount(s.blurAmount)) * s.maxFlow * 0.5f);
}

bool runVelocityStage(Backend& be, ScratchPool& pool, VelocityStage& s, Buffer*& velocity, std::string* message) {
  velocity = nullptr;
  struct FlowRelease {  // the flows go back on every path
    ScratchPool& pool;
    VelocityStage& s;
    ~FlowRelease() {
      pool.release(s.forward);
      pool.release(s.backward);
    }
  } flowRelease{pool, s};
  const int W = int(width(s.currentRect)), H = int(height(s.currentRect));
  Buffer* v = pool.take(W, H);
  if (!v) {
    setMessage(message, "memory");
    return false;
  }
  const Buffer* a = s.forward ? s.forward : s.backward ? s.backward : v;
  const Buffer* b = s.backward ? s.backward : a;
  const Buffer* depth = s.current;
  int channel = 1;
  Buffer* m = nullptr;
  if (matteTakesPart(s.matte)) {
    m = pool.take(W, H);
    bool ok = m != nullptr;
    if (ok) {
      FMParams cp;
      makeParams(cp, m, s.matte->buffer, nullptr);
      cp.ax = originOffset(s.currentRect.left, s.matte->rect.left);
      cp.ay = originOffset(s.currentRect.top, s.matte->rect.top);
      ok = be.launch(FM_K_COPY, m, s.matte->buffer, nullptr, nullptr, &cp, W, H, 2.0);
    }
    if (!ok) {
      setMessage(message, "memory");
      return false;
    }
    depth = m;
    channel = 2;
  }
  FMParams p;
  makeParams(p, v, a, b);
  p.mode = (s.forward ? 1 : 0) | (s.backward ? 2 : 0);
  p.g0 = velocityScale(s);
  p.g1 = velocityLimit(s);
  p.channel = channel;
  p.n = depth->pitch;
  Table tab;
  tab.data = depth->data;
  tab.count = uint64_t(depth->height) * uint64_t(depth->pitch) * 4u;
  const bool ok = be.launch(FM_K_MVEL, v, a, b, &tab, &p, W, H, 4.0);
  pool.release(m);
  if (!ok) {
    setMessage(message, "velocity");
    return false;
  }
  velocity = v;
  return true;
}

}  // namespace fm
