// A host image placed in a new device image of a GPU backend.
#pragma once

#include <cstring>

#include "gpu/GpuBackendBase.h"
#include "tests/support/TestImage.h"

namespace fmtest {

// A device image of the host image's size holding its pixels; false leaves `buf` untouched and
// nothing allocated.
inline bool uploadImage(fm::GpuBackendBase& be, const HostImage& image, fm::Buffer& buf) {
  fm::Buffer made;
  if (!be.allocImage(made, image.width(), image.height())) return false;
  HostImage staged(image.width(), image.height(), made.pitch);
  for (int y = 0; y < image.height(); ++y)
    std::memcpy(&staged.at(0, y), &image.at(0, y), sizeof(Px) * size_t(image.width()));
  if (!be.writeImage(made, staged.data())) {
    be.freeImage(made);
    return false;
  }
  buf = made;
  return true;
}

}  // namespace fmtest
