#include "blurs/RadialBlur.h"

#include <algorithm>
#include <cmath>

#include "blurs/BlurKind.h"
#include "engine/HostMemory.h"
#include "engine/RenderScale.h"

namespace fm {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kFullTurn = 6.283185306179586;
constexpr double kBoundsStep = 0.03490658503988659;  // 2 degrees: rotated corners are traced this finely
constexpr double kMaxSpinDegrees = 1e9;
constexpr double kFar = 1e18;  // start of the bounding boxes, and the bound of a full turn's box
// Passes after the first: the sample cap is 16^5, five passes of 16.
constexpr double kSpreadLevels = 4;
constexpr double kMaxSpread = 16;  // per level, for pixel aspects no footage has

double numberOr0(double v) { return v == v ? v : 0.0; }

// Largest distance from the centre to a corner of r, in square units.
double farthestCorner(const RadialSweep& sw, const Rect& r, double k) {
  double best = 0;
  for (double x : {double(r.left), double(r.right)})
    for (double y : {double(r.top), double(r.bottom)}) best = std::max(best, std::hypot((x - sw.cx) * k, y - sw.cy));
  return best;
}

struct Box {
  double minX = kFar, minY = kFar, maxX = -kFar, maxY = -kFar;
  void add(double x, double y) {
    minX = std::min(minX, x);
    minY = std::min(minY, y);
    maxX = std::max(maxX, x);
    maxY = std::max(maxY, y);
  }
};

}  // namespace

RadialSweep makeRadialSweep(const RenderSettings& s) {
  RadialSweep sw;
  const double amount = s.radialAmount > 0 ? s.radialAmount : 0.0;  // NaN too
  sw.zoom = s.radialType == kZoom;
  if (sw.zoom) {
    const double z = std::min(amount / 100, 1.0);
    sw.lo = std::log(1 - z / 2);
    sw.hi = std::log(1 + z / 2);
  } else {
    const double a = std::min(amount, kMaxSpinDegrees) * kPi / 180;
    sw.lo = -a / 2;
    sw.hi = a / 2;
  }
  const double limit = kCoordLimit;
  sw.cx = std::clamp(numberOr0(s.centerX), -limit, limit);
  sw.cy = std::clamp(numberOr0(s.centerY), -limit, limit);
  return sw;
}

double radialAspect(const double scale[3]) {
  const double par = pixelAspectOf(scale[2]);
  const double ratio = scale[0] > 0 && scale[1] > 0 ? scale[1] / scale[0] : 1.0;
  const double k = par * ratio;
  return std::isfinite(k) && k > 0 ? k : 1.0;
}

namespace {

// The box the sweep carries `rect` over, widened by `levels` passes' worth of bilinear spread.
Rect sweptBox(const RadialSweep& sw, const Rect& rect, bool forward, const double scale[3], double levels) {
  if (isEmpty(rect)) return rect;
  const double k = radialAspect(scale);
  const double xs[2] = {double(rect.left), double(rect.right)};
  const double ys[2] = {double(rect.top), double(rect.bottom)};
  Box box;
  if (sw.zoom) {
    // Output p reads the source at c + (p - c) s: backward the scales themselves, forward
    // their inverses; the extremes lie at the ends of the range.
    const double sign = forward ? -1 : 1;
    for (double s : {std::exp(sign * sw.lo), std::exp(sign * sw.hi), 1.0})
      for (double x : xs)
        for (double y : ys) box.add(sw.cx + (x - sw.cx) * s, sw.cy + (y - sw.cy) * s);
  } else {
    const double R = farthestCorner(sw, rect, k);
    const double a = sw.hi - sw.lo;
    if (a >= kFullTurn) {
      box.add(std::max(sw.cx - R / k, -kFar), std::max(sw.cy - R, -kFar));
      box.add(std::min(sw.cx + R / k, kFar), std::min(sw.cy + R, kFar));
    } else {
      // Output p reads the source at p rotated by theta: forward, content moves by -theta.
      const double K = std::max(std::ceil(a / kBoundsStep), 2.0);
      for (double j = 0; j <= K; ++j) {
        const double theta = (sw.lo + a * j / K) * (forward ? -1 : 1);
        const double c = std::cos(theta), s = std::sin(theta);
        for (double x : xs)
          for (double y : ys) {
            const double dx = (x - sw.cx) * k, dy = y - sw.cy;
            box.add(sw.cx + (c * dx - s * dy) / k, sw.cy + (s * dx + c * dy));
          }
      }
      // Between two traced angles a corner's arc bulges out by at most this sagitta (square
      // units; an x pixel holds k of them).
      const double sag = (1 - std::cos(a / 2 / K)) * R;
      const double wx = sag / std::min(k, 1.0) + 1, wy = sag + 1;
      box.minX -= wx;
      box.maxX += wx;
      box.minY -= wy;
      box.maxY += wy;
    }
  }
  // Passes after the first sample intermediate images between their pixels: each adds up to a
  // pixel of spread beyond the exact sweep, carried through the transforms of the passes before
  // it (a pixel is at most 1 + 1/k wide and 1 + k tall in another rotation's frame; a scale
  // stretches it by at most the sweep's ratio). Without this margin a tile whose edge passes
  // near the centre would miss pixels that its neighbour's render reads.
  const double spreadX = sw.zoom ? std::exp(sw.hi - sw.lo) : std::min(1 + 1 / k, kMaxSpread);
  const double spreadY = sw.zoom ? std::exp(sw.hi - sw.lo) : std::min(1 + k, kMaxSpread);
  box.minX -= levels * spreadX;
  box.maxX += levels * spreadX;
  box.minY -= levels * spreadY;
  box.maxY += levels * spreadY;

  // Both ends are clamped: a box wholly beyond the limit still gives a valid (empty) rectangle.
  const double lim = 1e9;
  return Rect{int32_t(std::floor(std::clamp(box.minX, -lim, lim)) - 1),
              int32_t(std::floor(std::clamp(box.minY, -lim, lim)) - 1),
              int32_t(std::ceil(std::clamp(box.maxX, -lim, lim)) + 1),
              int32_t(std::ceil(std::clamp(box.maxY, -lim, lim)) + 1)};
}

}  // namespace

Rect radialBounds(const RadialSweep& sw, const Rect& rect, bool forward, const double scale[3]) {
  return sweptBox(sw, rect, forward, scale, kSpreadLevels);
}

void makeRadialPlan(const RenderSettings& s, const double scale[3], const Rect& inputRect, const Rect& outputRect,
                    RadialPlan& plan) {
  const RadialSweep& sw = plan.sweep = makeRadialSweep(s);
  plan.kx = radialAspect(scale);

  // Where the output can be non-transparent, and which source pixels it reads.
  const Rect affected = boundingBox(inputRect, radialBounds(sw, inputRect, true, scale));
  const Rect needed = boundingBox(outputRect, radialBounds(sw, outputRect, false, scale));
  Rect w1 = intersection(affected, needed);
  Rect o2 = intersection(outputRect, inputRect);
  if (isEmpty(w1)) w1 = Rect{};
  if (isEmpty(o2)) o2 = Rect{};
  const double k = plan.kx;
  plan.work = limitGroupWork(boundingBox(w1, o2), outputRect, inputRect, std::max(k, 1 / k));

  // As many samples as the sweep is long, in pixels, at the farthest corner it affects (the
  // passes' spread aside, which only the work needs).
  const Rect swept = boundingBox(inputRect, sweptBox(sw, inputRect, true, scale, 0));
  plan.radius = isEmpty(swept) ? 0.0 : farthestCorner(sw, swept, k);
  const double sweep = sw.zoom ? std::exp(sw.hi) - std::exp(sw.lo) : sw.hi - sw.lo;
  double spacing = s.antialiasing == kAntialiasHigh ? 0.5 : 1.0;
  if (s.lowQuality) spacing *= 2;
  double n = std::ceil(plan.radius * sweep / spacing);
  if (!(n >= 1)) n = 1;
  plan.samples = int64_t(std::min(n, double(kMaxGroupSamples - 1))) + 1;
  plan.passes.clear();
  buildGroupPasses(sw.zoom ? FM_GROUP_SCALE : FM_GROUP_ROTATE, sw.lo, sw.hi, plan.samples, plan.passes, sw.zoom);
}

bool renderRadialBlur(Backend& be, const RenderSettings& s, const double scale[3], const PlacedImage& source,
                      const Rect& inputRect, const Rect& outputRect, Buffer& destination) {
  return falseOnBadAlloc([&] {
    RadialPlan plan;
    makeRadialPlan(s, scale, inputRect, outputRect, plan);
    return runGroupPasses(be, plan.passes, source, plan.work, outputRect, destination, float(plan.sweep.cx),
                          float(plan.sweep.cy), float(plan.kx));
  });
}

namespace {

bool negligible(const RenderSettings& s, const double[3]) { return s.radialAmount < 0.0001; }

// The swept rectangle, which may lie anywhere about the centre.
Rect spread(const RenderSettings& s, const double scale[3], const Rect& r, bool forward, bool) {
  return boundingBox(r, radialBounds(makeRadialSweep(s), r, forward, scale));
}

bool staysInBounds(const RenderSettings&) { return false; }

bool renderKind(const BlurRequest& r) {
  return renderRadialBlur(*r.be, *r.settings, r.scale, *r.input, r.inputBounds, r.outRect, *r.out);
}

}  // namespace

const BlurKind radialBlurKind = {negligible, spread, staysInBounds, nullptr, renderKind};

}  // namespace fm
