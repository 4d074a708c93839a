// The benchmarks' input: premultiplied pseudo-random pixels over gradients, the same in every
// run, so timings of different binaries and runs see the same data.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/Backend.h"

namespace fmbench {

inline void fillTestCard(fm::Buffer& image, uint32_t seed) {
  float* s = static_cast<float*>(image.data);
  uint32_t state = seed;
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.pitch; ++x) {
      float rnd[4];
      for (float& v : rnd) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        v = float(state >> 8) * (1.0f / 16777216.0f);
      }
      const float gx = float(x) / float(image.width), gy = float(y) / float(image.height);
      const float alpha = 0.25f + 0.75f * (0.5f * rnd[3] + 0.5f * gy);
      float* px = s + (size_t(y) * image.pitch + x) * 4;
      px[0] = alpha * (0.5f * rnd[0] + 0.5f * gx);
      px[1] = alpha * (0.5f * rnd[1] + 0.5f * gy);
      px[2] = alpha * (0.5f * rnd[2] + 0.25f * (gx + gy));
      px[3] = alpha;
    }
}

}  // namespace fmbench
