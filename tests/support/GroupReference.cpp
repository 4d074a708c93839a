#include "tests/support/GroupReference.h"

#include <cmath>

namespace fmtest {

void refBilinear(const RefImage& im, double X, double Y, double out[4]) {
  const double fx = std::floor(X), fy = std::floor(Y);
  const double ax = X - fx, ay = Y - fy;
  const int x0 = int(fx), y0 = int(fy);
  double a[4], b[4], c[4], d[4];
  im.get(x0, y0, a);
  im.get(x0 + 1, y0, b);
  im.get(x0, y0 + 1, c);
  im.get(x0 + 1, y0 + 1, d);
  for (int k = 0; k < 4; ++k)
    out[k] = (a[k] * (1 - ax) + b[k] * ax) * (1 - ay) + (c[k] * (1 - ax) + d[k] * ax) * ay;
}

void refTapPosition(int mode, double a, double b, int x, int y, double cx, double cy, double kx, double& X,
                    double& Y) {
  const double px = x + 0.5, py = y + 0.5;  // the pixel's centre, pixel-edge coordinates
  double ex, ey;                            // where it reads, pixel-edge coordinates
  if (mode == FM_GROUP_TRANSLATE) {
    ex = px + a;
    ey = py + b;
  } else if (mode == FM_GROUP_ROTATE) {
    const double dx = (px - cx) * kx, dy = py - cy;  // square units
    ex = cx + (a * dx - b * dy) / kx;
    ey = cy + (b * dx + a * dy);
  } else {
    ex = cx + (px - cx) * a;
    ey = cy + (py - cy) * a;
  }
  X = ex - 0.5;
  Y = ey - 0.5;
}

RefImage refGroupPass(const RefImage& in, int mode, const std::vector<float>& taps, double cx, double cy, double kx,
                      const fm::Rect& canvas) {
  RefImage out(canvas);
  for (int y = canvas.top; y < canvas.bottom; ++y)
    for (int x = canvas.left; x < canvas.right; ++x) {
      double* o = out.at(x, y);
      for (size_t i = 0; i + 2 < taps.size(); i += 3) {
        double X, Y, v[4];
        refTapPosition(mode, taps[i], taps[i + 1], x, y, cx, cy, kx, X, Y);
        refBilinear(in, X, Y, v);
        for (int k = 0; k < 4; ++k) o[k] += v[k] * taps[i + 2];
      }
    }
  return out;
}

RefImage refGroupPasses(const RefImage& in, const std::vector<fm::GroupPass>& passes, double cx, double cy,
                        double kx) {
  RefImage im = in;
  for (const fm::GroupPass& pass : passes) im = refGroupPass(im, pass.mode, pass.taps, cx, cy, kx, in.rect());
  return im;
}

RefImage refDirectAverage(const RefImage& in, int mode, const std::vector<double>& values,
                          const std::vector<double>& weights, double dx, double dy, double cx, double cy, double kx,
                          const fm::Rect& canvas) {
  RefImage out(canvas);
  double total = 0;
  for (double w : weights) total += w;
  for (int y = canvas.top; y < canvas.bottom; ++y)
    for (int x = canvas.left; x < canvas.right; ++x) {
      double* o = out.at(x, y);
      for (size_t j = 0; j < values.size(); ++j) {
        const double v = values[j];
        double a = 0, b = 0;
        if (mode == FM_GROUP_TRANSLATE) {
          a = v * dx;
          b = v * dy;
        } else if (mode == FM_GROUP_ROTATE) {
          a = std::cos(v);
          b = std::sin(v);
        } else {
          a = std::exp(v);
        }
        double X, Y, s[4];
        refTapPosition(mode, a, b, x, y, cx, cy, kx, X, Y);
        refBilinear(in, X, Y, s);
        for (int k = 0; k < 4; ++k) o[k] += s[k] * weights[j] / total;
      }
    }
  return out;
}

}  // namespace fmtest
