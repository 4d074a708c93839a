#include "engine/ImageList.h"

#include <new>

namespace fm {

Buffer* ImageList::add(int64_t width, int64_t height) noexcept {
  if (width > INT32_MAX || height > INT32_MAX) return nullptr;
  const int w = width < 1 ? 1 : int(width);
  const int h = height < 1 ? 1 : int(height);
  // The record is made first, so an image is never allocated without a place to release it from.
  try {
    images.emplace_back();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  if (!be.allocImage(images.back(), w, h)) {
    images.pop_back();
    return nullptr;
  }
  return &images.back();
}

void ImageList::releaseAll() noexcept {
  for (Buffer& b : images) be.freeImage(b);
  images.clear();
}

}  // namespace fm
