#include "tests/support/FlowFrames.h"

#include <cmath>

#include "tracking/EstimateFlow.h"
#include "tracking/FeaturePyramid.h"
#include "tracking/MatchMeasure.h"
#include "tracking/ScratchPool.h"

namespace fmtest {
namespace {

constexpr int kOctaves = 4;
constexpr double kPi = 3.14159265358979323846;

double quintic(double t) { return t * t * t * (t * (t * 6.0 - 15.0) + 10.0); }

void setGrey(HostImage& im, int x, int y, double v) {
  const float g = float(v);
  im.at(x, y) = {g, g, g, 1.0f};
}

}  // namespace

double FlowTexture::lattice(int64_t i, int64_t j, int octave) const {
  uint64_t h = uint64_t(i) * 0x9E3779B97F4A7C15ull ^ uint64_t(j) * 0xC2B2AE3D27D4EB4Full ^
               (uint64_t(seed) << 32 | uint32_t(octave)) * 0x165667B19E3779F9ull;
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 32;
  return double(h >> 11) * (1.0 / 9007199254740992.0);
}

double FlowTexture::operator()(double x, double y) const {
  double sum = 0.0, norm = 0.0, amp = 1.0, scale = finest * 8.0;
  for (int o = 0; o < kOctaves; ++o, amp *= 0.7, scale *= 0.5) {
    const double fx = x / scale, fy = y / scale;
    const double ix = std::floor(fx), iy = std::floor(fy);
    const double tx = quintic(fx - ix), ty = quintic(fy - iy);
    const int64_t i = int64_t(ix), j = int64_t(iy);
    const double a = lattice(i, j, o), b = lattice(i + 1, j, o), c = lattice(i, j + 1, o),
                 d = lattice(i + 1, j + 1, o);
    sum += amp * ((a * (1 - tx) + b * tx) * (1 - ty) + (c * (1 - tx) + d * tx) * ty);
    norm += amp;
  }
  // Spread the mid-grey noise over most of [0, 1].
  const double v = 0.5 + 1.6 * (sum / norm - 0.5);
  return v < 0.02 ? 0.02 : v > 0.98 ? 0.98 : v;
}

FlowPair affinePair(int w, int h, uint32_t seed, double a11, double a12, double a21, double a22, double tx,
                    double ty) {
  FlowTexture tex(seed);
  FlowPair pr;
  pr.current = HostImage(w, h);
  pr.other = HostImage(w, h);
  pr.u.assign(size_t(w) * h, 0.0f);
  pr.v.assign(size_t(w) * h, 0.0f);
  pr.inside.assign(size_t(w) * h, 0);
  const double cx = 0.5 * (w - 1), cy = 0.5 * (h - 1);
  const double det = a11 * a22 - a12 * a21;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      setGrey(pr.current, x, y, tex(x, y));
      const double X = a11 * (x - cx) + a12 * (y - cy) + cx + tx, Y = a21 * (x - cx) + a22 * (y - cy) + cy + ty;
      const size_t i = size_t(y) * w + x;
      pr.u[i] = float(X - x);
      pr.v[i] = float(Y - y);
      pr.inside[i] = X >= 0 && Y >= 0 && X <= w - 1 && Y <= h - 1;
      // The other frame at (x, y) shows the current content from the inverse motion.
      const double qx = x - cx - tx, qy = y - cy - ty;
      setGrey(pr.other, x, y, tex((a22 * qx - a12 * qy) / det + cx, (-a21 * qx + a11 * qy) / det + cy));
    }
  return pr;
}

FlowPair translatedPair(int w, int h, double dx, double dy, uint32_t seed) {
  return affinePair(w, h, seed, 1, 0, 0, 1, dx, dy);
}

FlowPair rotatedPair(int w, int h, double degrees, uint32_t seed) {
  const double a = degrees * kPi / 180.0, c = std::cos(a), s = std::sin(a);
  return affinePair(w, h, seed, c, -s, s, c, 0, 0);
}

FlowPair zoomedPair(int w, int h, double factor, uint32_t seed) {
  return affinePair(w, h, seed, factor, 0, 0, factor, 0, 0);
}

FlowPair brightnessPair(int w, int h, double gain, double offset, uint32_t seed) {
  FlowPair pr = affinePair(w, h, seed, 1, 0, 0, 1, 0, 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) setGrey(pr.other, x, y, gain * pr.current.at(x, y).r + offset);
  return pr;
}

FlowPair movingSquarePair(int w, int h, int x0, int y0, int side, double dx, double dy, uint32_t seed) {
  FlowTexture back(seed), square(seed + 1000, 2.0);
  FlowPair pr = affinePair(w, h, seed, 1, 0, 0, 1, 0, 0);
  auto inSquare = [&](double x, double y) { return x >= x0 && x < x0 + side && y >= y0 && y < y0 + side; };
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const size_t i = size_t(y) * w + x;
      // The square is darker than the background, so its border is an edge of the feature too.
      if (inSquare(x, y)) {
        setGrey(pr.current, x, y, 0.6 * square(x - x0, y - y0));
        pr.u[i] = float(dx);
        pr.v[i] = float(dy);
        const double X = x + dx, Y = y + dy;
        pr.inside[i] = X >= 0 && Y >= 0 && X <= w - 1 && Y <= h - 1;
      }
      setGrey(pr.other, x, y, inSquare(x - dx, y - dy) ? 0.6 * square(x - dx - x0, y - dy - y0) : back(x, y));
    }
  return pr;
}

HostImage textureFrame(int w, int h, uint32_t seed, double finestScale) {
  FlowTexture tex(seed, finestScale);
  HostImage im(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) setGrey(im, x, y, tex(x, y));
  return im;
}

HostImage sceneFrame(int w, int h, uint32_t seed, bool horizontalRamp) {
  FlowTexture tex(seed);
  HostImage im(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double ramp = horizontalRamp ? (x + 0.5) / w : (y + 0.5) / h;
      setGrey(im, x, y, 0.1 + 0.5 * ramp + 0.4 * tex(x, y));
    }
  return im;
}

TrackResult trackPair(fm::Backend& be, const HostImage& current, const HostImage& other, int vectorDetail,
                      float maxFlow, const fm::Rect* otherRect) {
  TrackResult r;
  const fm::Buffer cb = current.buffer(), ob = other.buffer();
  const fm::Rect rect{0, 0, current.width(), current.height()};
  const fm::PlacedImage cur{&cb, rect};
  const fm::PlacedImage oth{&ob, otherRect ? *otherRect : fm::Rect{0, 0, other.width(), other.height()}};
  const fm::PyramidRange range = fm::choosePyramidRange(current.width(), current.height(), vectorDetail, maxFlow);
  r.finest = range.finest;
  r.coarsest = range.coarsest;
  fm::ScratchPool pool(be);
  fm::FeaturePyramid a, b;
  fm::Buffer* flow = nullptr;
  fm::Buffer* tmpl = nullptr;
  if (!fm::buildFeaturePyramid(be, pool, cur, rect, range.coarsest, a) ||
      !fm::buildFeaturePyramid(be, pool, oth, rect, range.coarsest, b) ||
      !fm::estimateFlow(be, pool, a, b, range, flow, tmpl))
    return r;
  const fm::MatchMeasure m = fm::measureMatch(be, pool, *flow, *tmpl);
  r.held = m.held;
  r.correlationValid = m.correlationValid;
  r.correlation = m.correlation;
  fm::Buffer* full = pool.take(current.width(), current.height());
  if (!full) return r;
  FMParams p;
  fm::makeParams(p, full, flow, nullptr);
  p.g0 = fm::levelFactor(range.finest);
  if (!be.launch(FM_K_FLOW_UP, full, flow, nullptr, nullptr, &p, full->width, full->height, 4.0)) return r;
  r.flow = HostImage(current.width(), current.height(), full->pitch);
  if (!be.download(*full, r.flow.data())) return r;
  r.ok = true;
  return r;
}

double meanEndPointError(const FlowPair& pair, const HostImage& flow, const std::vector<uint8_t>* mask) {
  double sum = 0.0;
  size_t n = 0;
  for (int y = 0; y < pair.height(); ++y)
    for (int x = 0; x < pair.width(); ++x) {
      const size_t i = size_t(y) * pair.width() + x;
      if (!pair.inside[i] || (mask && !(*mask)[i])) continue;
      const Px& f = flow.at(x, y);
      sum += std::hypot(double(f.r) - pair.u[i], double(f.g) - pair.v[i]);
      ++n;
    }
  return n ? sum / double(n) : 0.0;
}

}  // namespace fmtest
