// A host world as the CPU render reads or writes it: where its pixels are, how they are laid
// out, and where the world lies in layer coordinates.
#pragma once

#include <cstdint>

#include "engine/Rect.h"
#include "host/EffectInterface.h"

namespace fm {

// Pixel formats by code: 8-bit ARGB (0..255), 16-bit ARGB (0..32768), float ARGB, and the GPU
// worlds' float BGRA.
enum WorldFormat : int32_t {
  kWorldUnknown = 0,
  kWorld8 = 1,
  kWorld16 = 2,
  kWorld32 = 3,
  kWorldGpuBgra = 4
};

// Bytes per pixel of a format; 0 for an unknown one.
int32_t pixelBytes(int32_t format);

struct WorldView {
  void* data = nullptr;
  int64_t rowBytes = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t format = kWorldUnknown;
  Rect rect;
};

// A world the CPU can walk: pixels, a known format, and rows that neither overlap nor run
// backwards.
inline bool isUsable(const WorldView& w) {
  const int32_t bytes = pixelBytes(w.format);
  return w.data && w.width > 0 && w.height > 0 && bytes > 0 &&
         w.rowBytes >= int64_t(w.width) * bytes;
}

// The world's format code from the world suite; where the suite cannot tell, a deep world of a
// 32-bit render is float and another deep world 16-bit, else 8-bit.
int32_t worldFormat(const PF_InData* in, const PF_World* world, int32_t bitDepth);

// The world's view. Its rectangle is `recorded` (what pre-render was promised for it) when the
// sizes agree, else the world's origin and size.
WorldView viewOf(const PF_World& world, int32_t format, const Rect& recorded);

}  // namespace fm
