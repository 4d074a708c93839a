// Camera Lens Blur's iris, plan, span list, iris table and map placement against closed forms.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "blurs/CameraLensIris.h"
#include "blurs/CameraLensMap.h"
#include "blurs/CameraLensPlan.h"
#include "tests/blurs/LensTestSupport.h"

namespace {

using fm::Iris;
using fm::Rect;
using lenstest::irisArea;
using lenstest::kPi;

Iris iris(int sides, double roundness = 0, double aspect = 1, double degrees = 0) {
  Iris i;
  i.sides = sides;
  i.roundness = roundness;
  i.aspect = aspect;
  i.rotation = degrees * kPi / 180;
  return i;
}

// Area of the points of a grid of spacing h (cell centres) inside the iris.
double sampledArea(const Iris& shape, double r, double h) {
  const double extent = std::max(shape.aspect, 1.0) * (r + 0.5) + 1;
  const int n = int(std::ceil(extent / h));
  int64_t inside = 0;
  for (int j = -n; j < n; ++j)
    for (int i = -n; i < n; ++i) inside += fm::irisContains(shape, (i + 0.5) * h, (j + 0.5) * h, r);
  return double(inside) * h * h;
}

TEST(LensIris, AreaOfEveryShapeIsThePolygonWithItsHalfPixelEdge) {
  for (int sides = 3; sides <= 10; ++sides)
    for (double r : {4.0, 11.5, 30.0}) {
      SCOPED_TRACE(::testing::Message() << sides << " sides, radius " << r);
      const double expected = irisArea(sides, r);
      EXPECT_NEAR(sampledArea(iris(sides), r, 0.125), expected, 0.004 * expected + 0.2);
      // Rotation moves the shape, never its area.
      EXPECT_NEAR(sampledArea(iris(sides, 0, 1, 17), r, 0.125), expected, 0.004 * expected + 0.2);
    }
}

TEST(LensIris, RoundnessAspectAndRotation) {
  const double r = 9;
  // Full roundness: a disc of radius r + 1/2 whatever the number of sides.
  for (int sides : {3, 6, 10}) {
    for (int k = 0; k < 36; ++k) {
      const double a = k * kPi / 18;
      EXPECT_TRUE(fm::irisContains(iris(sides, 1), (r + 0.49) * std::cos(a), (r + 0.49) * std::sin(a), r));
      EXPECT_FALSE(fm::irisContains(iris(sides, 1), (r + 0.51) * std::cos(a), (r + 0.51) * std::sin(a), r));
    }
    EXPECT_NEAR(sampledArea(iris(sides, 1), r, 0.1), kPi * (r + 0.5) * (r + 0.5), 1.0);
  }
  // Aspect ratio 2 doubles the width only; 0.5 halves it.
  const Iris wide = iris(6, 1, 2), narrow = iris(6, 1, 0.5);
  EXPECT_TRUE(fm::irisContains(wide, 2 * (r + 0.5) - 0.02, 0, r));
  EXPECT_FALSE(fm::irisContains(wide, 2 * (r + 0.5) + 0.02, 0, r));
  EXPECT_TRUE(fm::irisContains(wide, 0, r + 0.49, r));
  EXPECT_FALSE(fm::irisContains(wide, 0, r + 0.51, r));
  EXPECT_FALSE(fm::irisContains(narrow, 0.5 * (r + 0.5) + 0.02, 0, r));
  EXPECT_TRUE(fm::irisContains(narrow, 0, -(r + 0.49), r));
  EXPECT_NEAR(sampledArea(wide, r, 0.1), 2 * kPi * (r + 0.5) * (r + 0.5), 2.0);
  EXPECT_NEAR(sampledArea(iris(5, 0, 1.5), r, 0.1), irisArea(5, r, 1.5), 1.5);

  // The triangle's first vertex points up (negative y), its opposite edge lies r / 2 below.
  const Iris up = iris(3);
  EXPECT_TRUE(fm::irisContains(up, 0, -(r + 0.4), r));
  EXPECT_FALSE(fm::irisContains(up, 0, -(r + 0.6), r));
  EXPECT_TRUE(fm::irisContains(up, 0, 0.5 * r + 0.4, r));
  EXPECT_FALSE(fm::irisContains(up, 0, 0.5 * r + 0.6, r));
  // A positive rotation turns it clockwise on screen: after 90 degrees the vertex points right.
  const Iris right = iris(3, 0, 1, 90);
  EXPECT_TRUE(fm::irisContains(right, r + 0.4, 0, r));
  EXPECT_FALSE(fm::irisContains(right, -(r + 0.4), 0, r));
  EXPECT_TRUE(fm::irisContains(right, -(0.5 * r + 0.4), 0, r));
  const Iris turned = iris(3, 0, 1, 30);
  const double c = std::cos(kPi / 6), s = std::sin(kPi / 6);
  EXPECT_TRUE(fm::irisContains(turned, (r + 0.4) * s, -(r + 0.4) * c, r));
  EXPECT_FALSE(fm::irisContains(turned, -(r + 0.4) * s, -(r + 0.4) * c, r));
  // The stretch happens before the rotation: a wide disc turned by 90 degrees is tall.
  const Iris tall = iris(6, 1, 2, 90);
  EXPECT_TRUE(fm::irisContains(tall, 0, 2 * (r + 0.5) - 0.02, r));
  EXPECT_FALSE(fm::irisContains(tall, r + 0.51, 0, r));
  // The pixel's own half-pixel disc is always inside, even at radius 0.
  EXPECT_TRUE(fm::irisContains(iris(3), 0.35, 0.35, 0));
  EXPECT_FALSE(fm::irisContains(iris(3), 0.36, 0.36, 0));
}

// The inside test written out plainly, angle and all, for every point.
bool plainContains(const Iris& shape, double x, double y, double r) {
  const double u = x * std::sin(shape.rotation) - y * std::cos(shape.rotation);
  const double v = -(x * std::cos(shape.rotation) + y * std::sin(shape.rotation)) / std::max(shape.aspect, 1e-6);
  const double d = std::sqrt(u * u + v * v);
  if (d <= 0.5) return true;
  const double s = 2 * kPi / shape.sides;
  double m = std::fmod(std::atan2(v, u), s);
  if (m < 0) m += s;
  const double k = std::cos(s / 2) / std::cos(m - s / 2);
  return (k + (1 - k) * shape.roundness) * r + 0.5 >= d;
}

TEST(LensIris, ShortcutsDecideAsTheAngleWould) {
  // Points are mostly decided by their distance alone; near the outline, in rows close to its
  // extremes and with roundness outside [0, 1], the decision must be the same.
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> unit(-1, 1);
  int64_t checked = 0, inside = 0;
  for (int sides = 3; sides <= 10; ++sides)
    for (double roundness : {0.0, 0.4, 1.0, -0.5, 1.7})
      for (double r : {0.0, 0.3, 7.0, 150.0}) {
        const Iris shape = iris(sides, roundness, 1 + 0.5 * unit(rng), 360 * unit(rng));
        for (int i = 0; i < 400; ++i) {
          const double a = kPi * unit(rng), d = (r + 0.5) * (1 + 0.02 * unit(rng)) * (i % 2 ? 1 : std::fabs(unit(rng)));
          const double x = d * std::cos(a), y = d * std::sin(a);
          ASSERT_EQ(fm::irisContains(shape, x, y, r), plainContains(shape, x, y, r)) << x << "," << y;
          ++checked;
          inside += plainContains(shape, x, y, r);
        }
      }
  EXPECT_GT(inside, checked / 4);
  EXPECT_LT(inside, 3 * checked / 4);
}

// Root of f on [a, b] (f(a) and f(b) of opposite signs), to full double precision.
template <typename F>
double root(F f, double a, double b) {
  const bool rising = f(b) > 0;
  for (int i = 0; i < 200; ++i) {
    const double m = (a + b) / 2;
    ((f(m) > 0) == rising ? b : a) = m;
  }
  return (a + b) / 2;
}

TEST(LensIris, RowSpanEdgesToAMillionthOfAPixel) {
  const double r = 12;
  // A turned ellipse (full roundness, aspect ratio): the edges solve a quadratic.
  for (double aspect : {1.0, 1.15, 0.5}) {
    const double theta = 0.3, sn = std::sin(theta), cs = std::cos(theta), rho = r + 0.5;
    const Iris shape = iris(7, 1, aspect, theta * 180 / kPi);
    for (double y = -11.75; y <= 11.75; y += 1.25) {
      const double a = sn * sn + cs * cs / (aspect * aspect);
      const double b = 2 * sn * cs * y * (1 / (aspect * aspect) - 1);
      const double c = cs * cs * y * y + sn * sn * y * y / (aspect * aspect) - rho * rho;
      const double disc = std::sqrt(b * b - 4 * a * c);
      const auto span = fm::irisRowSpan(shape, y, r);
      ASSERT_TRUE(span.has_value()) << y;
      EXPECT_NEAR(span->left, (-b - disc) / (2 * a), 1e-6) << "aspect " << aspect << " row " << y;
      EXPECT_NEAR(span->right, (-b + disc) / (2 * a), 1e-6) << "aspect " << aspect << " row " << y;
    }
  }
  // A square turned by 45 degrees has its right edge at distance h = r cos 45 from the centre;
  // moved half a pixel along the ray, the edge at height y solves (x - h) |(x, y)| = x / 2.
  const double h = r * std::cos(kPi / 4);
  for (double y = -6; y <= 6; y += 1.5) {
    const auto span = fm::irisRowSpan(iris(4, 0, 1, 45), y, r);
    ASSERT_TRUE(span.has_value());
    const double edge = root([&](double x) { return (x - h) * std::hypot(x, y) - x / 2; }, h, h + 1);
    EXPECT_NEAR(span->right, edge, 1e-6) << y;
    EXPECT_NEAR(span->left, -edge, 1e-6) << y;
  }
  // A row through the triangle's tip is narrower than the coarse scan's step, yet found, and its
  // edges are those of the outline.
  const Iris up = iris(3);
  const double tipRow = -(r + 0.45);
  const auto tip = fm::irisRowSpan(up, tipRow, r);
  ASSERT_TRUE(tip.has_value());
  EXPECT_LT(tip->right - tip->left, 2 * (r + 0.601) / 64);
  const auto inside = [&](double x) { return fm::irisContains(up, x, tipRow, r) ? 1.0 : -1.0; };
  EXPECT_NEAR(tip->right, root(inside, 0, 1), 1e-6);
  EXPECT_NEAR(tip->left, root(inside, -1, 0), 1e-6);
  // Rows beyond the iris have no span.
  EXPECT_FALSE(fm::irisRowSpan(up, -(r + 0.55), r).has_value());
  EXPECT_FALSE(fm::irisRowSpan(up, 0.5 * r + 0.55, r).has_value());
}

TEST(LensIris, HalfHeightIsTheLargerVerticalExtent) {
  const double r = 10;
  EXPECT_NEAR(fm::irisHalfHeight(iris(6), r), r + 0.5, 1e-6);     // vertex up
  EXPECT_NEAR(fm::irisHalfHeight(iris(3), r), r + 0.5, 1e-6);     // vertex up, edge r / 2 below
  EXPECT_NEAR(fm::irisHalfHeight(iris(3, 0, 1, 180), r), r + 0.5, 1e-6);
  EXPECT_NEAR(fm::irisHalfHeight(iris(4, 0, 1, 45), r), r * std::cos(kPi / 4) + 0.5, 1e-6);  // edge up
  EXPECT_NEAR(fm::irisHalfHeight(iris(8, 1, 1.1, 90), r), 1.1 * (r + 0.5), 1e-6);
  EXPECT_NEAR(fm::irisHalfHeight(iris(8, 1, 3, 0), r), r + 0.5, 1e-6);  // stretched sideways only
  EXPECT_NEAR(fm::irisHalfHeight(iris(5), 0), 0.5, 1e-6);
}

TEST(LensIris, TableDescribesTheUnitIrisAndKeepsItsSymmetry) {
  for (int sides = 3; sides <= 10; ++sides) {
    SCOPED_TRACE(sides);
    const fm::IrisTable t = fm::buildIrisTable(iris(sides));
    ASSERT_EQ(t.rows.size(), 2u * fm::IrisTable::kRows);
    for (int k = 0; k < fm::IrisTable::kRows; ++k) {
      const float xl = t.rows[2 * k], xr = t.rows[2 * k + 1];
      EXPECT_NEAR(xl, -xr, 1e-6) << k;  // the vertex up makes every shape mirror left to right
      if (sides % 2 == 0) {
        // An even polygon with a vertex up is also symmetric top to bottom.
        EXPECT_NEAR(xl, t.rows[2 * (256 - k)], 1e-6) << k;
        EXPECT_NEAR(xr, t.rows[2 * (256 - k) + 1], 1e-6) << k;
      }
    }
    EXPECT_EQ(t.halfExtent, 1.0);
    // The middle row spans the iris's width at its centre, in units of radius plus edge.
    const auto middle = fm::irisRowSpan(iris(sides), 0, 200);
    EXPECT_NEAR(t.rows[2 * 128 + 1], middle->right / 200.5, 1e-6);
  }
  // A disc spans exactly -1 to 1 at its centre.
  const fm::IrisTable disc = fm::buildIrisTable(iris(6, 1));
  EXPECT_NEAR(disc.rows[256], -1.0, 1e-6);
  EXPECT_NEAR(disc.rows[257], 1.0, 1e-6);
  // A square with an edge up is shorter than its radius: rows beyond it are empty, and the
  // half-extent is the last row with a span plus one row.
  const fm::IrisTable square = fm::buildIrisTable(iris(4, 0, 1, 45));
  const double top = (200 * std::cos(kPi / 4) + 0.5) / 200.5;
  int last = 0;
  for (int k = 128; k < fm::IrisTable::kRows; ++k) {
    const bool empty = square.rows[2 * k] == 0 && square.rows[2 * k + 1] == 0;
    EXPECT_EQ(empty, k / 128.0 - 1 > top) << k;
    if (!empty) last = k;
  }
  EXPECT_DOUBLE_EQ(square.halfExtent, last / 128.0 - 1 + 1 / 128.0);
  EXPECT_LT(square.halfExtent, 0.72);
}

TEST(LensSpans, AreaWeightsRowsAndReach) {
  for (int sides : {3, 6, 9}) {
    for (double r : {0.0, 2.5, 17.0}) {
      SCOPED_TRACE(::testing::Message() << sides << " sides, radius " << r);
      const Iris shape = iris(sides, 0.3, 1.3, 25);
      std::vector<float> spans;
      double sum = 0;
      fm::buildLensSpans(shape, r, 1.0, 1.0, spans, sum);
      ASSERT_FALSE(spans.empty());
      ASSERT_EQ(spans.size() % 4, 0u);
      // The weighted widths are the area; the sampled outline is close to the true one.
      double widths = 0;
      for (size_t i = 0; i < spans.size(); i += 4) widths += (double(spans[i + 2]) - spans[i + 1]) * spans[i + 3];
      EXPECT_NEAR(widths, sum, 1e-4 * sum);
      EXPECT_NEAR(sum, sampledArea(shape, r, 0.05), 0.02 * sum + 0.1);
      // Every span stays within the reach the plan grants the render.
      const double ey = std::max(shape.aspect, 1.0) * r + 0.6;
      for (size_t i = 0; i < spans.size(); i += 4) {
        EXPECT_LE(std::fabs(spans[i]), fm::lensReach(ey));
        EXPECT_LE(std::max(std::fabs(spans[i + 1]), std::fabs(spans[i + 2])), ey + 0.001 + 1e-6);
        EXPECT_EQ(spans[i], std::round(spans[i]));
        EXPECT_TRUE(spans[i + 3] == 1.0f || spans[i + 3] == 0.25f);
      }
      // Stretching by kx and weighting scale the widths and the area, never the rows.
      std::vector<float> wide;
      double wideSum = 0;
      fm::buildLensSpans(shape, r, 2.0, 3.0, wide, wideSum);
      ASSERT_EQ(wide.size(), spans.size());
      EXPECT_NEAR(wideSum, 6 * sum, 1e-9 * sum);
      for (size_t i = 0; i < spans.size(); i += 4) {
        EXPECT_EQ(wide[i], spans[i]);
        EXPECT_FLOAT_EQ(wide[i + 1], 2 * spans[i + 1]);
        EXPECT_FLOAT_EQ(wide[i + 3], 3 * spans[i + 3]);
      }
    }
  }
  // Interior rows are whole, the rows the outline crosses are cut in four.
  std::vector<float> disc;
  double sum = 0;
  fm::buildLensSpans(iris(6, 1), 10, 1.0, 1.0, disc, sum);
  for (size_t i = 0; i < disc.size(); i += 4) EXPECT_EQ(disc[i + 3], std::fabs(disc[i]) + 1 > 10.5 ? 0.25f : 1.0f);
  // An iris that is not a number has nothing to describe.
  std::vector<float> none;
  fm::buildLensSpans(iris(6), std::numeric_limits<double>::quiet_NaN(), 1.0, 1.0, none, sum);
  EXPECT_TRUE(none.empty());
}

fm::LensPlan planOf(const RenderSettings& s) {
  const double scale[3] = {s.downsampleX, s.downsampleY, s.pixelAspect};
  return fm::makeLensPlan(s, scale);
}

RenderSettings lens(double radius) { return lenstest::lensSettings(radius); }

TEST(LensPlan, ReductionFactorKeepsTheIrisWithin160Pixels) {
  EXPECT_EQ(planOf(lens(159.4)).factor, 1);  // extent 160 exactly
  EXPECT_EQ(planOf(lens(159.41)).factor, 2);
  EXPECT_EQ(planOf(lens(319.4)).factor, 2);
  EXPECT_EQ(planOf(lens(319.41)).factor, 4);
  EXPECT_EQ(planOf(lens(5119.4)).factor, 32);
  EXPECT_EQ(planOf(lens(5119.41)).factor, 64);
  EXPECT_EQ(planOf(lens(1e12)).factor, 64);
  RenderSettings s = lens(79.7);  // the aspect ratio widens the extent
  s.irisAspectRatio = 2;
  EXPECT_EQ(planOf(s).factor, 1);
  s.blurRadius = 79.71;
  EXPECT_EQ(planOf(s).factor, 2);
  s = lens(79.4);  // so does the horizontal pixel density
  s.pixelAspect = 0.5;
  EXPECT_EQ(planOf(s).xPerY, 2.0);
  EXPECT_EQ(planOf(s).factor, 1);
  s.blurRadius = 79.41;
  EXPECT_EQ(planOf(s).factor, 2);
  s = lens(300);  // only the vertical downsampling scales the radius
  s.downsampleX = 0.25;
  s.downsampleY = 0.5;
  EXPECT_EQ(planOf(s).radius, 150.0);
  EXPECT_EQ(planOf(s).xPerY, 0.5);
  EXPECT_EQ(planOf(s).factor, 1);
}

TEST(LensPlan, ReachFieldsAndClamping) {
  fm::LensPlan p = planOf(lens(10));
  EXPECT_EQ(p.sides, 6);
  EXPECT_EQ(p.reach[0], 13);  // ceil(10.6) + 2
  EXPECT_EQ(p.reach[1], 13);
  EXPECT_EQ(p.reach[2], 13);
  EXPECT_EQ(p.reach[3], 13);
  RenderSettings s = lens(10);
  s.pixelAspect = 0.5;  // twice as many x pixels
  p = planOf(s);
  EXPECT_EQ(p.reach[0], 24);  // ceil(21.2) + 2
  EXPECT_EQ(p.reach[1], 13);
  p = planOf(lens(200));  // factor 2 adds a margin of 4
  EXPECT_EQ(p.factor, 2);
  EXPECT_EQ(p.reach[0], 203 + 4);
  EXPECT_EQ(planOf(lens(0)).reach[1], 3);
  EXPECT_EQ(planOf(lens(-5)).radius, 0.0);
  EXPECT_EQ(planOf(lens(2e8)).reach[0], 100000002 + 128);
  EXPECT_EQ(fm::lensReach(0), 2);
  EXPECT_EQ(fm::lensReach(5.0000000001), 7);  // within rounding of a whole number
  EXPECT_EQ(fm::lensReach(std::numeric_limits<double>::quiet_NaN()), 2);

  s = lens(10);
  for (auto [shape, sides] : {std::pair{0, 3}, {-4, 3}, {1, 3}, {8, 10}, {9, 10}, {1000, 10}}) {
    s.irisShape = shape;
    EXPECT_EQ(planOf(s).sides, sides) << shape;
  }
  s.irisRoundness = 250;
  EXPECT_EQ(planOf(s).roundness, 1.0);
  s.irisRoundness = -3;
  EXPECT_EQ(planOf(s).roundness, 0.0);
  s.irisAspectRatio = 0;
  EXPECT_EQ(planOf(s).aspect, 0.01);
  s.irisAspectRatio = 1e6;
  EXPECT_EQ(planOf(s).aspect, 100.0);
  s.irisRotation = 90;
  EXPECT_DOUBLE_EQ(planOf(s).rotation, kPi / 2);
  for (auto [fringe, value] : {std::pair{0.0, 0.0}, {-10.0, 0.0}, {100.0, 3.08 * 0.026},
                               {500.0, (std::pow(4.08, 5) - 1) * 0.026}, {1e4, (std::pow(4.08, 5) - 1) * 0.026}}) {
    s.diffractionFringe = fringe;
    EXPECT_NEAR(planOf(s).fringe, value, 1e-12) << fringe;
  }
  EXPECT_EQ(planOf(s).ringShrink, 0.06);

  // Settings that are not numbers fall back to neutral values.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  s.blurRadius = s.irisRoundness = s.irisAspectRatio = s.irisRotation = s.diffractionFringe = nan;
  p = planOf(s);
  EXPECT_EQ(p.radius, 0.0);
  EXPECT_EQ(p.roundness, 0.0);
  EXPECT_EQ(p.aspect, 1.0);
  EXPECT_EQ(p.rotation, 0.0);
  EXPECT_EQ(p.fringe, 0.0);
  s = lens(10);
  s.downsampleY = 0;
  p = planOf(s);
  EXPECT_EQ(p.radius, 0.0);
  EXPECT_EQ(p.xPerY, 1.0);
}

// Where the map transform puts a work pixel's centre, in the map layer's own coordinates.
std::pair<double, double> mapped(const fm::MapTransform& t, int x, int y, const Rect& mapRect) {
  return {(x + 0.5) * t.g0 + t.g1 + mapRect.left, (y + 0.5) * t.g2 + t.g3 + mapRect.top};
}

TEST(LensMap, StretchAndCentrePlacement) {
  const Rect layer{10, 20, 110, 70};
  const Rect mapBounds{-4, 0, 46, 100};  // half as wide, twice as tall
  const Rect mapRect{1, 7, 40, 90};      // where the map image lies in it
  for (int f : {1, 4}) {
    const int wl = 3, wt = 6;  // reduced work origin
    const fm::MapTransform stretch = fm::blurMapTransform(wl, wt, f, 2, layer, mapBounds, mapRect.left, mapRect.top);
    const fm::MapTransform centre = fm::blurMapTransform(wl, wt, f, 1, layer, mapBounds, mapRect.left, mapRect.top);
    for (int y : {0, 5}) {
      for (int x : {0, 7, 19}) {
        // The render-resolution position of the work pixel's centre.
        const double X = f * (wl + x + 0.5), Y = f * (wt + y + 0.5);
        const auto [sx, sy] = mapped(stretch, x, y, mapRect);
        EXPECT_NEAR(sx, mapBounds.left + (X - layer.left) / 100 * 50, 1e-4);
        EXPECT_NEAR(sy, mapBounds.top + (Y - layer.top) / 50 * 100, 1e-4);
        const auto [cx, cy] = mapped(centre, x, y, mapRect);
        EXPECT_NEAR(cx, X - 60 + 21, 1e-4);  // layer centre (60, 45) onto map centre (21, 50)
        EXPECT_NEAR(cy, Y - 45 + 50, 1e-4);
      }
    }
  }
  // Any placement other than 2 centres; an empty layer rectangle does not scale.
  const fm::MapTransform other = fm::blurMapTransform(0, 0, 1, 7, layer, mapBounds, 0, 0);
  EXPECT_EQ(other.g0, 1.0f);
  const fm::MapTransform flat = fm::blurMapTransform(0, 0, 2, 2, Rect{5, 5, 5, 9}, mapBounds, 0, 0);
  EXPECT_EQ(flat.g0, 2.0f);
  EXPECT_EQ(flat.g2, 2.0f * 25);
}

}  // namespace
