// Pixels as the host's worlds hold them: A, R, G, B per pixel, straight colour, 8-bit (0..255),
// 16-bit (0..32768) or 32-bit float channels, rows a multiple of 16 bytes apart.
#pragma once

#include <cstdint>
#include <vector>

#include "host/EffectInterface.h"

namespace fm::host {

// Bytes per pixel of a depth (8, 16 or 32 bits per channel); 0 for any other depth.
int32_t pixelBytesOf(int32_t depth);

// The world suite's pixel format of a depth; 0 for any other depth.
uint32_t pixelFormatOf(int32_t depth);

class Image {
 public:
  Image() = default;
  // Transparent pixels. Throws std::bad_alloc when the memory cannot be had; an unknown depth or
  // a negative size gives an empty image.
  Image(int32_t width, int32_t height, int32_t depth);

  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  int32_t depth() const { return depth_; }
  int64_t rowBytes() const { return rowBytes_; }
  bool empty() const { return width_ <= 0 || height_ <= 0; }

  unsigned char* row(int32_t y) { return bytes() + int64_t(y) * rowBytes_; }
  const unsigned char* row(int32_t y) const { return bytes() + int64_t(y) * rowBytes_; }

  // A pixel's straight colour as floats R, G, B, A: integer channels divided by their full value.
  void get(int32_t x, int32_t y, float rgba[4]) const;
  // Integer channels are clamped to [0, 1], scaled and rounded to the nearest value.
  void set(int32_t x, int32_t y, const float rgba[4]);

 private:
  struct alignas(16) Block {
    unsigned char b[16];
  };
  unsigned char* bytes() { return pixels_.empty() ? nullptr : pixels_.front().b; }
  const unsigned char* bytes() const { return pixels_.empty() ? nullptr : pixels_.front().b; }

  int32_t width_ = 0, height_ = 0, depth_ = 0;
  int64_t rowBytes_ = 0;
  std::vector<Block> pixels_;
};

// The image at another depth.
Image converted(const Image& image, int32_t depth);

// The size of a layer of `size` full-resolution pixels at a downsampling ratio: at least 1.
int32_t scaledSize(int32_t size, const PF_Ratio& ratio);

// The image at a reduced resolution, as the host delivers layers to a render at that
// downsampling: each pixel the premultiplied mean of the source pixels it covers.
Image downsampled(const Image& image, const PF_Ratio& x, const PF_Ratio& y);

}  // namespace fm::host
