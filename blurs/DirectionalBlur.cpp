#include "blurs/DirectionalBlur.h"

#include <algorithm>
#include <cmath>

#include "blurs/BlurKind.h"
#include "blurs/Reach.h"
#include "engine/HostMemory.h"
#include "engine/RenderScale.h"

namespace fm {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Longer streaks mean nothing (far longer than any image) and only risk overflow further on.
constexpr double kMaxLength = 1e10;

double finiteOr0(double v) { return std::isfinite(v) ? v : 0.0; }

}  // namespace

void makeDirectionalPlan(const RenderSettings& s, const double scale[3], DirectionalPlan& plan) {
  const double theta = finiteOr0(s.direction) * kPi / 180;
  const double length = s.blurLength > 0 ? std::min(s.blurLength, kMaxLength) : 0.0;
  plan.dx = finiteOr0(std::sin(theta) * length * scaleX(scale));
  plan.dy = finiteOr0(-std::cos(theta) * length * scaleY(scale));

  // Short streaks are sampled finely so that they stay smooth; long ones at most 0.75 pixel
  // apart (1.5 in low quality), which the bilinear taps still blend without steps.
  const double len = std::sqrt(plan.dx * plan.dx + plan.dy * plan.dy);
  const double spacing = len <= 12 ? 0.4 : (s.lowQuality ? 1.5 : 0.75);
  double n = std::ceil(len / spacing);
  if (!(n >= 1)) n = 1;
  plan.samples = int64_t(std::min(n, double(kMaxGroupSamples - 1))) + 1;

  plan.passes.clear();
  buildGroupPasses(FM_GROUP_TRANSLATE, -0.5, 0.5, plan.samples, plan.passes, false);
  for (GroupPass& pass : plan.passes) {
    for (size_t i = 0; i + 2 < pass.taps.size(); i += 3) {
      const double v = pass.taps[i];
      pass.taps[i] = float(v * plan.dx);
      pass.taps[i + 1] = float(v * plan.dy);
    }
  }
  // Pixels read beyond the one written along each axis, for half the streak's extent on it.
  plan.reachX = lengthReach(std::abs(plan.dx) / 2, 1);
  plan.reachY = lengthReach(std::abs(plan.dy) / 2, 1);
}

bool renderDirectionalBlur(Backend& be, const RenderSettings& s, const double scale[3], const PlacedImage& source,
                           const Rect& inputRect, const Rect& outputRect, Buffer& destination) {
  return falseOnBadAlloc([&] {
    DirectionalPlan plan;
    makeDirectionalPlan(s, scale, plan);
    // Output pixels read the streak around them; content lies within the input grown the same way.
    Rect work;
    if (!isEmpty(inputRect)) {
      work = intersection(grownBy(outputRect, plan.reachX, plan.reachY),
                          grownBy(inputRect, plan.reachX, plan.reachY));
      if (isEmpty(work)) work = Rect{};
    }
    work = limitGroupWork(work, outputRect, inputRect, 1.0);
    return runGroupPasses(be, plan.passes, source, work, outputRect, destination, 0.0f, 0.0f, 1.0f);
  });
}

Reach directionalReach(const RenderSettings& s, const double scale[3]) {
  const double theta = s.direction * kPi / 180.0;
  const double length = s.blurLength > 0 ? s.blurLength : 0.0;
  const double hx = std::fabs(std::sin(theta) * length * scaleX(scale)) / 2;
  const double hy = std::fabs(std::cos(theta) * length * scaleY(scale)) / 2;
  const int32_t rx = limitedReach(lengthReach(hx, 1)), ry = limitedReach(lengthReach(hy, 1));
  return Reach{rx, ry, rx, ry};
}

namespace {

// Tracked frames have their own driver: to this one they are nothing to do.
bool negligible(const RenderSettings& s, const double scale[3]) {
  if (s.motionBlurType != kDirectionalBlur) return true;
  return std::max(scaleX(scale), scaleY(scale)) * s.blurLength < 0.25;
}

Rect spread(const RenderSettings& s, const double scale[3], const Rect& r, bool, bool) {
  return grow(r, directionalReach(s, scale));
}

bool staysInBounds(const RenderSettings&) { return false; }

bool renderKind(const BlurRequest& r) {
  return renderDirectionalBlur(*r.be, *r.settings, r.scale, *r.input, r.inputBounds, r.outRect, *r.out);
}

}  // namespace

const BlurKind motionBlurKind = {negligible, spread, staysInBounds, nullptr, renderKind};

}  // namespace fm
