#include "host/Image.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace fm::host {
namespace {

double ratioOf(const PF_Ratio& r) { return r.den == 0 ? 1.0 : double(r.num) / double(r.den); }

template <class T>
T quantized(float v, float full) {
  return static_cast<T>(std::clamp(v, 0.0f, 1.0f) * full + 0.5f);
}

// The source pixels [lo, hi) that output pixel i covers at ratio r, within [0, size).
void span(int32_t i, double r, int32_t size, int32_t& lo, int32_t& hi) {
  lo = std::min(int32_t(std::floor(i / r + 1e-9)), size - 1);
  hi = std::clamp(int32_t(std::ceil((i + 1) / r - 1e-9)), lo + 1, size);
}

}  // namespace

int32_t pixelBytesOf(int32_t depth) {
  return depth == 8 ? 4 : depth == 16 ? 8 : depth == 32 ? 16 : 0;
}

uint32_t pixelFormatOf(int32_t depth) {
  return depth == 8    ? PF_PixelFormat_Argb32
         : depth == 16 ? PF_PixelFormat_Argb64
         : depth == 32 ? PF_PixelFormat_Argb128
                       : 0;
}

Image::Image(int32_t width, int32_t height, int32_t depth) {
  if (width <= 0 || height <= 0 || !pixelBytesOf(depth)) return;
  width_ = width;
  height_ = height;
  depth_ = depth;
  rowBytes_ = (int64_t(width) * pixelBytesOf(depth) + 15) / 16 * 16;
  pixels_.resize(size_t(rowBytes_ / 16) * size_t(height));
}

void Image::get(int32_t x, int32_t y, float rgba[4]) const {
  const unsigned char* p = row(y) + int64_t(x) * pixelBytesOf(depth_);
  float argb[4];
  if (depth_ == 8) {
    for (int c = 0; c < 4; ++c) argb[c] = p[c] / 255.0f;
  } else if (depth_ == 16) {
    uint16_t v[4];
    std::memcpy(v, p, sizeof(v));
    for (int c = 0; c < 4; ++c) argb[c] = v[c] / 32768.0f;
  } else {
    std::memcpy(argb, p, sizeof(argb));
  }
  rgba[0] = argb[1];
  rgba[1] = argb[2];
  rgba[2] = argb[3];
  rgba[3] = argb[0];
}

void Image::set(int32_t x, int32_t y, const float rgba[4]) {
  unsigned char* p = row(y) + int64_t(x) * pixelBytesOf(depth_);
  const float argb[4] = {rgba[3], rgba[0], rgba[1], rgba[2]};
  if (depth_ == 8) {
    for (int c = 0; c < 4; ++c) p[c] = quantized<unsigned char>(argb[c], 255.0f);
  } else if (depth_ == 16) {
    uint16_t v[4];
    for (int c = 0; c < 4; ++c) v[c] = quantized<uint16_t>(argb[c], 32768.0f);
    std::memcpy(p, v, sizeof(v));
  } else {
    std::memcpy(p, argb, sizeof(argb));
  }
}

Image converted(const Image& image, int32_t depth) {
  Image out(image.width(), image.height(), depth);
  if (out.empty()) return out;
  float px[4];
  for (int32_t y = 0; y < image.height(); ++y) {
    for (int32_t x = 0; x < image.width(); ++x) {
      image.get(x, y, px);
      out.set(x, y, px);
    }
  }
  return out;
}

int32_t scaledSize(int32_t size, const PF_Ratio& ratio) {
  const double v = std::ceil(double(size) * ratioOf(ratio) - 1e-6);
  return int32_t(std::clamp(v, 1.0, 1e9));
}

Image downsampled(const Image& image, const PF_Ratio& x, const PF_Ratio& y) {
  const double rx = std::min(1.0, ratioOf(x)), ry = std::min(1.0, ratioOf(y));
  if (image.empty() || !(rx > 0) || !(ry > 0)) return Image();
  Image out(scaledSize(image.width(), x), scaledSize(image.height(), y), image.depth());
  float px[4];
  for (int32_t oy = 0; oy < out.height(); ++oy) {
    int32_t y0, y1;
    span(oy, ry, image.height(), y0, y1);
    for (int32_t ox = 0; ox < out.width(); ++ox) {
      int32_t x0, x1;
      span(ox, rx, image.width(), x0, x1);
      double sum[4] = {0, 0, 0, 0};
      for (int32_t sy = y0; sy < y1; ++sy) {
        for (int32_t sx = x0; sx < x1; ++sx) {
          image.get(sx, sy, px);
          for (int c = 0; c < 3; ++c) sum[c] += double(px[c]) * px[3];
          sum[3] += px[3];
        }
      }
      const double n = double(x1 - x0) * (y1 - y0);
      for (int c = 0; c < 3; ++c) px[c] = sum[3] != 0 ? float(sum[c] / sum[3]) : 0.0f;
      px[3] = float(sum[3] / n);
      out.set(ox, oy, px);
    }
  }
  return out;
}

}  // namespace fm::host
