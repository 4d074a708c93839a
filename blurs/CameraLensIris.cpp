#include "blurs/CameraLensIris.h"

#include <algorithm>
#include <cmath>

namespace fm {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Bisection steps for an edge: 2^-48 of the search width, far below a millionth of a pixel.
constexpr int kEdgeSteps = 48;

// The iris with its angle terms worked out once: a row search tests thousands of points.
class IrisShape {
 public:
  explicit IrisShape(const Iris& iris)
      : sinT(std::sin(iris.rotation)),
        cosT(std::cos(iris.rotation)),
        squeeze(std::max(iris.aspect, 1e-6)),
        sector(2 * kPi / std::max(iris.sides, 3)),
        apothem(std::cos(sector / 2)),
        roundness(iris.roundness) {
    // The boundary factor k + (1 - k) R is linear in k, which runs from the apothem to 1.
    const double atApothem = apothem + (1 - apothem) * roundness;
    inner = std::min(1.0, atApothem);
    outer = std::max(1.0, atApothem);
    bounded = std::isfinite(atApothem);
  }

  bool contains(double x, double y, double r) const {
    // Turned so that the first vertex lies along +u, and squeezed back to a regular polygon.
    const double u = x * sinT - y * cosT;
    const double v = -(x * cosT + y * sinT) / squeeze;
    const double d = std::sqrt(u * u + v * v);
    if (d <= 0.5) return true;
    // Most points of a row search lie well inside or outside the band the boundary can occupy;
    // they are decided without the angle. The margins far exceed the rounding of the exact test,
    // so both ways agree.
    if (bounded && r >= 0) {
      if (d > outer * r * (1 + 1e-12) + 0.5 + 1e-12) return false;
      if (d < inner * r * (1 - 1e-12) + 0.5 - 1e-12) return true;
    }
    double m = std::fmod(std::atan2(v, u), sector);
    if (m < 0) m += sector;
    // The polygon's boundary at this angle relative to its circumradius.
    const double k = apothem / std::cos(m - sector / 2);
    return (k + (1 - k) * roundness) * r + 0.5 >= d;
  }

 private:
  double sinT, cosT, squeeze, sector, apothem, roundness;
  double inner = 1, outer = 1;  // the boundary's least and greatest distance, per unit radius
  bool bounded = false;
};

double horizontalBound(const Iris& iris, double r) { return std::max(iris.aspect, 1.0) * r + 0.6; }

// The row search's bound: a little beyond the horizontal bound, so that its ends lie outside.
double searchBound(const Iris& iris, double r) { return horizontalBound(iris, r) + 0.001; }

// Whether any of the positions -E + k 2E / steps (k = 0 to steps) on row y lies inside. The
// coarse positions are among the fine ones, so a row has a span exactly when its fine scan finds
// a point; the scan starts at the middle, where a point inside is most likely.
bool anyInside(const IrisShape& shape, double y, double r, double E, int steps) {
  const double step = 2 * E / steps;
  for (int d = 0; d <= steps / 2; ++d) {
    if (shape.contains(-E + (steps / 2 - d) * step, y, r)) return true;
    if (d > 0 && shape.contains(-E + (steps / 2 + d) * step, y, r)) return true;
  }
  return false;
}

std::optional<IrisSpan> rowSpan(const IrisShape& shape, const Iris& iris, double y, double r) {
  const double E = searchBound(iris, r);

  // A point inside the row: the coarse position nearest the centre, else the first of a fine scan
  // (rows through a thin tip can fall between coarse positions).
  bool found = false;
  double seed = 0;
  const double coarse = 2 * E / 64;
  for (int k = 0; k <= 64; ++k) {
    const double x = -E + k * coarse;
    if (shape.contains(x, y, r) && (!found || std::fabs(x) < std::fabs(seed))) {
      seed = x;
      found = true;
    }
  }
  if (!found) {
    const double fine = 2 * E / 4096;
    for (int k = 0; k <= 4096 && !found; ++k) {
      const double x = -E + k * fine;
      if (shape.contains(x, y, r)) {
        seed = x;
        found = true;
      }
    }
    if (!found) return std::nullopt;
  }

  IrisSpan span;
  double out = -E, in = seed;
  for (int i = 0; i < kEdgeSteps; ++i) {
    span.left = (out + in) / 2;
    (shape.contains(span.left, y, r) ? in : out) = span.left;
  }
  in = seed;
  out = E;
  for (int i = 0; i < kEdgeSteps; ++i) {
    span.right = (in + out) / 2;
    (shape.contains(span.right, y, r) ? in : out) = span.right;
  }
  if (!(span.right > span.left)) return std::nullopt;
  return span;
}

}  // namespace

bool irisContains(const Iris& iris, double x, double y, double r) { return IrisShape(iris).contains(x, y, r); }

std::optional<IrisSpan> irisRowSpan(const Iris& iris, double y, double r) {
  return rowSpan(IrisShape(iris), iris, y, r);
}

double irisHalfHeight(const Iris& iris, double r) {
  const IrisShape shape(iris);
  const double E = searchBound(iris, r);
  double lo = 0, hi = horizontalBound(iris, r) + 0.01;
  for (int i = 0; i < kEdgeSteps; ++i) {
    const double mid = (lo + hi) / 2;
    // Only whether the rows have spans matters: both coarse scans first, the fine ones only
    // when neither finds a point.
    const bool spanned = anyInside(shape, mid, r, E, 64) || anyInside(shape, -mid, r, E, 64) ||
                         anyInside(shape, mid, r, E, 4096) || anyInside(shape, -mid, r, E, 4096);
    (spanned ? lo : hi) = mid;
  }
  return hi;
}

}  // namespace fm
