#include "cli/DemoScene.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "cli/BitmapFont.h"

namespace fm::cli {
namespace {

constexpr float kPi = 3.14159265f;

void fillRect(host::Image& image, int x0, int y0, int x1, int y1, const float rgba[4]) {
  for (int y = std::max(0, y0); y < std::min(image.height(), y1); ++y) {
    for (int x = std::max(0, x0); x < std::min(image.width(), x1); ++x) image.set(x, y, rgba);
  }
}

void fillDisc(host::Image& image, float cx, float cy, float r, const float rgba[4]) {
  for (int y = std::max(0, int(cy - r)); y < std::min(image.height(), int(cy + r) + 2); ++y) {
    for (int x = std::max(0, int(cx - r)); x < std::min(image.width(), int(cx + r) + 2); ++x) {
      const float dx = x + 0.5f - cx, dy = y + 0.5f - cy;
      if (dx * dx + dy * dy <= r * r) image.set(x, y, rgba);
    }
  }
}

// A repeatable scatter of numbers in [0, 1).
float hash(uint32_t n) {
  n = (n ^ 61u) ^ (n >> 16);
  n *= 9u;
  n ^= n >> 4;
  n *= 0x27d4eb2du;
  n ^= n >> 15;
  return float(n & 0xFFFFFF) / float(0x1000000);
}

// Smooth noise: the scatter on a lattice, interpolated.
float valueNoise(float x, float y, uint32_t seed) {
  const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
  const float fx = x - x0, fy = y - y0;
  const auto at = [&](int i, int j) { return hash(uint32_t(i * 7919 + j * 104729) * 31u + seed); };
  const float sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
  const float top = at(x0, y0) + (at(x0 + 1, y0) - at(x0, y0)) * sx;
  const float bottom = at(x0, y0 + 1) + (at(x0 + 1, y0 + 1) - at(x0, y0 + 1)) * sx;
  return top + (bottom - top) * sy;
}

host::Image filled(int width, int height, int depth, float grey) {
  host::Image image(width, height, depth);
  const float c[4] = {grey, grey, grey, 1};
  fillRect(image, 0, 0, width, height, c);
  return image;
}

}  // namespace

host::Image testCard(int width, int height, int depth) {
  host::Image image = filled(width, height, depth, 0.06f);
  const float w = float(width), h = float(height);

  const float bars[7][4] = {{0.75f, 0.75f, 0.75f, 1}, {0.75f, 0.75f, 0, 1}, {0, 0.75f, 0.75f, 1},
                            {0, 0.75f, 0, 1},          {0.75f, 0, 0.75f, 1}, {0.75f, 0, 0, 1},
                            {0, 0, 0.75f, 1}};
  const int barsRight = int(0.40f * w), barsBottom = int(0.50f * h);
  for (int i = 0; i < 7; ++i) {
    fillRect(image, barsRight * i / 7, 0, barsRight * (i + 1) / 7, barsBottom, bars[i]);
  }

  // Paper white below full, so that only the highlights count as highlights.
  const float black[4] = {0, 0, 0, 1}, white[4] = {0.85f, 0.85f, 0.85f, 1};
  const int cell = std::max(2, height / 27);
  for (int y = int(0.06f * h); y < int(0.50f * h); ++y) {
    for (int x = int(0.43f * w); x < int(0.69f * w); ++x) {
      image.set(x, y, ((x / cell + y / cell) & 1) ? white : black);
    }
  }

  const float cx = 0.85f * w, cy = 0.27f * h;
  for (int ring = 7; ring >= 0; --ring) {
    fillDisc(image, cx, cy, (ring + 1) * 0.03f * h, ring & 1 ? black : white);
  }

  const char* word = "FOGMILL";
  const float letters[7][4] = {{1, 0.35f, 0.2f, 1}, {1, 0.8f, 0.1f, 1}, {0.3f, 1, 0.3f, 1},
                               {0.2f, 0.8f, 1, 1},  {0.5f, 0.4f, 1, 1}, {1, 0.3f, 0.8f, 1},
                               {1, 1, 1, 1}};
  const int scale = std::max(1, height / 50);
  for (int i = 0; i < 7; ++i) {
    drawText(&image, int(0.04f * w) + i * 6 * scale, int(0.60f * h), std::string(1, word[i]),
             scale, letters[i]);
  }
  const float cyan[4] = {0.3f, 0.9f, 0.9f, 1};
  drawText(&image, int(0.04f * w), int(0.60f * h) + 10 * scale, "BLUR 0123456789", std::max(1, scale / 2),
           cyan);

  const float night[4] = {0.015f, 0.015f, 0.03f, 1};
  fillRect(image, int(0.55f * w), int(0.56f * h), width, height, night);
  const float lights[3][4] = {{1, 1, 1, 1}, {1, 0.8f, 0.5f, 1}, {0.7f, 0.85f, 1, 1}};
  for (uint32_t i = 0; i < 24; ++i) {
    const float x = (0.57f + 0.41f * hash(2 * i)) * w, y = (0.59f + 0.38f * hash(2 * i + 1)) * h;
    fillDisc(image, x, y, std::max(1.0f, 0.008f * h), lights[i % 3]);
  }
  return image;
}

host::Image movingFrame(int width, int height, int depth, int t) {
  host::Image image(width, height, depth);
  const float w = float(width), h = float(height);
  // Texture everywhere, so that the still background has something to track, and none that
  // repeats, which would let a tracker match it at the wrong place.
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const float v = 0.22f + 0.22f * valueNoise(x / 23.0f, y / 23.0f, 1) +
                      0.10f * valueNoise(x / 7.0f, y / 7.0f, 2);
      const float px[4] = {v, v * 0.95f, v * 0.85f, 1};
      image.set(x, y, px);
    }
  }
  const float red[4] = {0.95f, 0.2f, 0.15f, 1}, blue[4] = {0.2f, 0.45f, 1, 1},
              green[4] = {0.3f, 0.95f, 0.35f, 1}, white[4] = {1, 1, 1, 1};
  const float step = 0.025f * w;
  const float sx = 0.22f * w + step * t, sy = 0.35f * h;
  fillRect(image, int(sx), int(sy), int(sx + 0.11f * w), int(sy + 0.2f * h), red);
  fillRect(image, int(sx + 0.03f * w), int(sy + 0.07f * h), int(sx + 0.08f * w), int(sy + 0.13f * h), white);
  fillDisc(image, 0.68f * w - 0.8f * step * t, 0.40f * h + 0.6f * step * t, 0.11f * h, blue);
  fillRect(image, int(0.40f * w), int(0.72f * h - 0.9f * step * t), int(0.60f * w),
           int(0.72f * h - 0.9f * step * t + 0.07f * h), green);
  return image;
}

host::Image flowMap(int width, int height, int depth) {
  host::Image image(width, height, depth);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const float u = float(x) / width, v = float(y) / height;
      const float m = 0.5f + 0.25f * std::sin(2 * kPi * (1.5f * u + 0.3f * v)) +
                      0.2f * std::cos(2 * kPi * (1.2f * v - 0.4f * u));
      const float px[4] = {m, m, m, 1};
      image.set(x, y, px);
    }
  }
  return image;
}

host::Image depthRamp(int width, int height, int depth) {
  host::Image image(width, height, depth);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const float m = float(x) / std::max(1, width - 1);
      const float px[4] = {m, m, m, 1};
      image.set(x, y, px);
    }
  }
  return image;
}

}  // namespace fm::cli
