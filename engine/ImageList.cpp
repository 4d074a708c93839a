#include "engine/ImageList.h"

namespace fm {

void ImageList::release(Buffer* image) noexcept {
  for (auto it = images.begin(); it != images.end(); ++it) {
    if (&*it != image) continue;
    be.freeImage(*it);
    images.erase(it);
    return;
  }
}

void ImageList::releaseAll() noexcept {
  for (Buffer& b : images) be.freeImage(b);
  images.clear();
}

}  // namespace fm
