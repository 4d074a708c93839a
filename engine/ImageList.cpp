#include "engine/ImageList.h"

namespace fm {

void ImageList::releaseAll() noexcept {
  for (Buffer& b : images) be.freeImage(b);
  images.clear();
}

}  // namespace fm
