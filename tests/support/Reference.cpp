#include "tests/support/Reference.h"

#include <algorithm>
#include <cmath>

namespace fmtest {
namespace {

using fm::Rect;

int64_t floorDiv(int64_t a, int64_t f) { return a >= 0 ? a / f : -((-a + f - 1) / f); }

double srgbDecode(double c) {
  const double m = std::fabs(c);
  const double v = m <= 0.04045 ? m / 12.92 : std::pow((m + 0.055) / 1.055, 2.4);
  return c < 0 ? -v : v;
}

double srgbEncode(double c) {
  const double m = std::fabs(c);
  const double v = m <= 0.0031308 ? 12.92 * m : 1.055 * std::pow(m, 1 / 2.4) - 0.055;
  return c < 0 ? -v : v;
}

}  // namespace

RefImage::RefImage(const fm::Rect& rect)
    : r(rect),
      px(size_t(std::max<int64_t>(fm::width(rect), 0)) * size_t(std::max<int64_t>(fm::height(rect), 0)) * 4) {
}

double* RefImage::at(int x, int y) {
  return &px[(size_t(y - r.top) * size_t(fm::width(r)) + size_t(x - r.left)) * 4];
}

void RefImage::get(int x, int y, double out[4]) const {
  if (!contains(x, y)) {
    out[0] = out[1] = out[2] = out[3] = 0;
    return;
  }
  const double* p = &px[(size_t(y - r.top) * size_t(fm::width(r)) + size_t(x - r.left)) * 4];
  for (int c = 0; c < 4; ++c) out[c] = p[c];
}

RefImage refLoad(const HostImage& image, const Rect& placed, const Rect& valid, const Rect& canvas) {
  RefImage im(canvas);
  for (int y = canvas.top; y < canvas.bottom; ++y)
    for (int x = canvas.left; x < canvas.right; ++x) {
      const bool in = x >= placed.left && x < placed.right && y >= placed.top && y < placed.bottom &&
                      x >= valid.left && x < valid.right && y >= valid.top && y < valid.bottom;
      if (!in) continue;
      const Px& p = image.at(x - placed.left, y - placed.top);
      double* d = im.at(x, y);
      d[0] = p.r;
      d[1] = p.g;
      d[2] = p.b;
      d[3] = p.a;
    }
  return im;
}

void refRepeatEdges(RefImage& im, const Rect& valid) {
  const RefImage src = im;
  const Rect& r = im.rect();
  for (int y = r.top; y < r.bottom; ++y)
    for (int x = r.left; x < r.right; ++x) {
      double v[4];
      src.get(std::clamp(x, valid.left, valid.right - 1), std::clamp(y, valid.top, valid.bottom - 1), v);
      std::copy(v, v + 4, im.at(x, y));
    }
}

void refBox(RefImage& im, bool horizontal, double radius, const int* inside) {
  const Rect r = im.rect();
  const int n = int(std::floor(radius));
  const double frac = radius - n;
  const int len = int(horizontal ? fm::width(r) : fm::height(r));
  const int origin = horizontal ? r.left : r.top;
  std::vector<double> line(size_t(len) * 4), prefix(size_t(len + 1) * 4);
  const int lines = int(horizontal ? fm::height(r) : fm::width(r));
  for (int l = 0; l < lines; ++l) {
    // Layer coordinate of pixel i of the line is origin + i.
    for (int i = 0; i < len; ++i) {
      const int x = horizontal ? r.left + i : r.left + l;
      const int y = horizontal ? r.top + l : r.top + i;
      const int pos = origin + i;
      const bool counts = !inside || (pos >= inside[0] && pos < inside[1]);
      const double* p = im.at(x, y);
      for (int c = 0; c < 4; ++c) line[size_t(i) * 4 + c] = counts ? p[c] : 0.0;
    }
    for (int i = 0; i < len; ++i) {
      for (int c = 0; c < 4; ++c)
        prefix[size_t(i + 1) * 4 + c] = prefix[size_t(i) * 4 + c] + line[size_t(i) * 4 + c];
    }
    // Taps beyond the canvas are transparent; inside mode also leaves them out of the weight.
    auto tapWeight = [&](int64_t pos) {
      if (inside) return (pos >= inside[0] && pos < inside[1]) ? 1.0 : 0.0;
      return 1.0;
    };
    for (int i = 0; i < len; ++i) {
      const int a = std::max(i - n, 0), b = std::min(i + n, len - 1);
      double sum[4] = {0, 0, 0, 0};
      double weight;
      if (b >= a)
        for (int c = 0; c < 4; ++c) sum[c] = prefix[size_t(b + 1) * 4 + c] - prefix[size_t(a) * 4 + c];
      if (inside) {
        // Whole taps inside [lo, hi), counted in layer coordinates even beyond the canvas.
        const int64_t lo = std::max<int64_t>(int64_t(origin) + i - n, inside[0]);
        const int64_t hi = std::min<int64_t>(int64_t(origin) + i + n, int64_t(inside[1]) - 1);
        weight = hi >= lo ? double(hi - lo + 1) : 0.0;
      } else {
        weight = 2.0 * n + 1;
      }
      if (frac > 0) {
        for (int side : {-1, 1}) {
          const int j = i + side * (n + 1);
          weight += frac * tapWeight(int64_t(origin) + j);
          if (j >= 0 && j < len)
            for (int c = 0; c < 4; ++c) sum[c] += frac * line[size_t(j) * 4 + c];
        }
      }
      const int x = horizontal ? r.left + i : r.left + l;
      const int y = horizontal ? r.top + l : r.top + i;
      double* d = im.at(x, y);
      for (int c = 0; c < 4; ++c) d[c] = weight > 0 ? sum[c] / weight : 0.0;
    }
  }
}

void refConvolve(RefImage& im, bool horizontal, const std::vector<double>& taps) {
  const RefImage src = im;
  const Rect& r = im.rect();
  const int n = int(taps.size() / 2);
  for (int y = r.top; y < r.bottom; ++y)
    for (int x = r.left; x < r.right; ++x) {
      double sum[4] = {0, 0, 0, 0};
      for (int k = -n; k <= n; ++k) {
        double v[4];
        src.get(horizontal ? x + k : x, horizontal ? y : y + k, v);
        for (int c = 0; c < 4; ++c) sum[c] += v[c] * taps[size_t(k + n)];
      }
      std::copy(sum, sum + 4, im.at(x, y));
    }
}

std::vector<double> gaussianTaps(double sigma) {
  const int n = int(std::ceil(6 * sigma));
  std::vector<double> t(size_t(2 * n + 1));
  double sum = 0;
  for (int k = -n; k <= n; ++k) sum += t[size_t(k + n)] = std::exp(-0.5 * k * k / (sigma * sigma));
  for (double& v : t) v /= sum;
  return t;
}

RefImage refReduce(const RefImage& im, int f, const Rect* onlyInside) {
  const Rect& s = im.rect();
  const Rect r{int(floorDiv(s.left, f)), int(floorDiv(s.top, f)), int(-floorDiv(-int64_t(s.right), f)),
               int(-floorDiv(-int64_t(s.bottom), f))};
  RefImage out(r);
  for (int y = r.top; y < r.bottom; ++y)
    for (int x = r.left; x < r.right; ++x) {
      double sum[4] = {0, 0, 0, 0};
      int count = 0;
      for (int j = 0; j < f; ++j)
        for (int i = 0; i < f; ++i) {
          const int fx = x * f + i, fy = y * f + j;
          if (onlyInside && !(fx >= onlyInside->left && fx < onlyInside->right && fy >= onlyInside->top &&
                              fy < onlyInside->bottom))
            continue;
          double v[4];
          im.get(fx, fy, v);
          for (int c = 0; c < 4; ++c) sum[c] += v[c];
          ++count;
        }
      const double div = onlyInside ? count : double(f) * f;
      double* d = out.at(x, y);
      for (int c = 0; c < 4; ++c) d[c] = div > 0 ? sum[c] / div : 0.0;
    }
  return out;
}

RefImage refEnlarge(const RefImage& reduced, int f, const Rect& outRect) {
  RefImage out(outRect);
  const Rect& r = reduced.rect();
  for (int y = outRect.top; y < outRect.bottom; ++y)
    for (int x = outRect.left; x < outRect.right; ++x) {
      const double X = std::clamp((x + 0.5) / f - 0.5, double(r.left), double(r.right - 1));
      const double Y = std::clamp((y + 0.5) / f - 0.5, double(r.top), double(r.bottom - 1));
      const int x0 = int(std::floor(X)), y0 = int(std::floor(Y));
      const double ax = X - x0, ay = Y - y0;
      double a[4], b[4], c[4], d[4];
      reduced.get(x0, y0, a);
      reduced.get(x0 + 1, y0, b);
      reduced.get(x0, y0 + 1, c);
      reduced.get(x0 + 1, y0 + 1, d);
      double* o = out.at(x, y);
      for (int k = 0; k < 4; ++k)
        o[k] = (a[k] * (1 - ax) + b[k] * ax) * (1 - ay) + (c[k] * (1 - ax) + d[k] * ax) * ay;
    }
  return out;
}

void refToLinear(RefImage& im) {
  const Rect& r = im.rect();
  for (int y = r.top; y < r.bottom; ++y)
    for (int x = r.left; x < r.right; ++x) {
      double* p = im.at(x, y);
      const double a = p[3];
      if (!(a > 0)) {
        p[0] = p[1] = p[2] = p[3] = 0;
        continue;
      }
      for (int c = 0; c < 3; ++c) p[c] = srgbDecode(p[c] / a) * a;
    }
}

void refFromLinear(RefImage& im) {
  const Rect& r = im.rect();
  for (int y = r.top; y < r.bottom; ++y)
    for (int x = r.left; x < r.right; ++x) {
      double* p = im.at(x, y);
      const double a = std::clamp(p[3], 0.0, 1.0);
      if (!(a > 1e-7)) {
        p[0] = p[1] = p[2] = p[3] = 0;
        continue;
      }
      const double inv = 1 / std::max(p[3], a);
      for (int c = 0; c < 3; ++c) p[c] = srgbEncode(p[c] * inv) * a;
      p[3] = a;
    }
}

double maxDifference(const fm::Buffer& out, const Rect& outRect, const RefImage& ref) {
  const float* px = static_cast<const float*>(out.data);
  double worst = 0;
  for (int y = 0; y < out.height; ++y)
    for (int x = 0; x < out.width; ++x) {
      double v[4];
      ref.get(outRect.left + x, outRect.top + y, v);
      const float* o = px + (size_t(y) * out.pitch + x) * 4;
      for (int c = 0; c < 4; ++c) {
        const double d = std::fabs(double(o[c]) - v[c]);
        if (std::isnan(d)) return HUGE_VAL;
        worst = std::max(worst, d);
      }
    }
  return worst;
}

RefImage refFromBuffer(const fm::Buffer& out, const Rect& outRect) {
  RefImage im(outRect);
  const float* px = static_cast<const float*>(out.data);
  for (int y = 0; y < out.height; ++y)
    for (int x = 0; x < out.width; ++x) {
      const float* o = px + (size_t(y) * out.pitch + x) * 4;
      double* d = im.at(outRect.left + x, outRect.top + y);
      for (int c = 0; c < 4; ++c) d[c] = o[c];
    }
  return im;
}

}  // namespace fmtest
