#include "blurs/CameraLensPlan.h"

#include <algorithm>
#include <cmath>

#include "blurs/ReductionFactor.h"
#include "engine/RenderScale.h"
#include "kernels/FMKernelTypes.h"

namespace fm {
namespace {

constexpr double kPi = 3.14159265358979323846;

// The iris is kept within this many reduced pixels, where the separable blurs keep theirs
// within 512: the gather's cost grows with the iris's height.
constexpr double kMaxReducedExtent = 160;

// Radius and edge of the iris the table is measured on: large enough that the 257 rows resolve
// the outline, with the half-pixel edge folded into the unit radius.
constexpr double kTableRadius = 200;
constexpr double kTableUnit = 200.5;

// A setting that is not a number falls back to its neutral value.
double orDefault(double v, double fallback) { return std::isfinite(v) ? v : fallback; }

}  // namespace

LensPlan makeLensPlan(const RenderSettings& s, const double scale[3]) {
  LensPlan plan;
  plan.sides = std::clamp(s.irisShape, kFirstIrisShape, kLastIrisShape) - kFirstIrisShape + kSidesOfFirstIrisShape;
  plan.roundness = std::clamp(orDefault(s.irisRoundness, 0) / 100, 0.0, 1.0);
  plan.aspect = std::clamp(orDefault(s.irisAspectRatio, 1), 0.01, 100.0);
  plan.rotation = orDefault(s.irisRotation, 0) * kPi / 180;
  const double sy = scaleY(scale);
  const double radius = (s.blurRadius > 0 ? s.blurRadius : 0.0) * sy;
  plan.radius = radius > 0 ? radius : 0.0;  // NaN and a negative scale count as no blur
  const double kx = scaleX(scale) / sy;
  plan.xPerY = std::isfinite(kx) && kx > 0 ? kx : 1.0;
  plan.fringe = (std::pow(4.08, std::clamp(orDefault(s.diffractionFringe, 0), 0.0, 500.0) / 100) - 1) * 0.026;

  const double E = std::max(plan.aspect, 1.0) * plan.radius + 0.6;
  const double Ex = plan.xPerY * E;
  plan.factor = reductionFactor(std::max(E, Ex) * 512 / kMaxReducedExtent);
  const int32_t margin = plan.factor > 1 ? 2 * plan.factor : 0;
  plan.reach[0] = plan.reach[2] = lensReach(Ex) + margin;
  plan.reach[1] = plan.reach[3] = lensReach(E) + margin;
  return plan;
}

Iris lensIris(const LensPlan& plan) {
  Iris iris;
  iris.sides = plan.sides;
  iris.roundness = plan.roundness;
  iris.aspect = plan.aspect;
  iris.rotation = plan.rotation;
  return iris;
}

void buildLensSpans(const Iris& iris, double r, double kx, double weight, std::vector<float>& spans,
                    double& weightSum) {
  if (!std::isfinite(r) || !std::isfinite(kx) || !std::isfinite(weight)) return;  // no iris to describe
  r = std::max(r, 0.0);
  const double ey = irisHalfHeight(iris, r);
  const int64_t reach = int64_t(std::ceil(0.5 + ey));
  for (int64_t dy = -reach; dy <= reach; ++dy) {
    // Rows that the outline crosses are sampled at several heights; the span still reads row dy.
    const bool split = FM_IRIS_ROW_SPLITS(double, std::llabs(dy), ey);
    const int subs = split ? FM_IRIS_SUBROWS : 1;
    const double w = weight / subs;
    for (int s = 0; s < subs; ++s) {
      const double height = split ? FM_IRIS_SUBROW_Y(double, dy, s) : double(dy);
      const std::optional<IrisSpan> span = irisRowSpan(iris, height, r);
      if (!span) continue;
      const double xl = span->left * kx, xr = span->right * kx;
      spans.insert(spans.end(), {float(dy), float(xl), float(xr), float(w)});
      weightSum += (xr - xl) * w;
    }
  }
}

IrisTable buildIrisTable(const Iris& iris) {
  IrisTable table;
  table.rows.assign(size_t(2) * IrisTable::kRows, 0.0f);
  double largest = 0;
  for (int k = 0; k < IrisTable::kRows; ++k) {
    const double y = k / 128.0 - 1;
    const std::optional<IrisSpan> span = irisRowSpan(iris, y * kTableUnit, kTableRadius);
    if (!span) continue;
    table.rows[2 * size_t(k)] = float(span->left / kTableUnit);
    table.rows[2 * size_t(k) + 1] = float(span->right / kTableUnit);
    largest = std::max(largest, std::fabs(y));
  }
  table.halfExtent = std::min(largest + 1.0 / 128, 1.0);
  return table;
}

}  // namespace fm
