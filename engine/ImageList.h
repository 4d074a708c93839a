// The engine images of one run, released together when the run ends, whichever way it ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <new>

#include "engine/Backend.h"

namespace fm {

// Appends a record to `records` (a container whose records never move) and allocates an image
// of max(1, width) x max(1, height) into it. The record comes first, so an image never exists
// without a place to release it from. Null when the size does not fit an image or the backend
// refuses; nothing stays recorded then.
template <class Records>
Buffer* addRecordedImage(Backend& be, Records& records, int64_t width, int64_t height) noexcept {
  if (width > INT32_MAX || height > INT32_MAX) return nullptr;
  const int w = width < 1 ? 1 : int(width);
  const int h = height < 1 ? 1 : int(height);
  try {
    records.emplace_back();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  if (!be.allocImage(records.back(), w, h)) {
    records.pop_back();
    return nullptr;
  }
  return &records.back();
}

class ImageList {
 public:
  explicit ImageList(Backend& backend) noexcept : be(backend) {}
  ~ImageList() { releaseAll(); }
  ImageList(const ImageList&) = delete;
  ImageList& operator=(const ImageList&) = delete;

  // Allocates an image with both sizes raised to at least 1 and records it. Null when the
  // size does not fit an image or the backend refuses; nothing is recorded then. The
  // returned handle stays valid until releaseAll.
  Buffer* add(int64_t width, int64_t height) noexcept {
    return addRecordedImage(be, images, width, height);
  }

  // Releases one recorded image early, when a run no longer needs it; ignores a handle the
  // list does not hold.
  void release(Buffer* image) noexcept;

  // Releases every recorded image, in allocation order, and forgets them.
  void releaseAll() noexcept;

  size_t size() const noexcept { return images.size(); }

 private:
  Backend& be;
  std::list<Buffer> images;  // a list: handles must not move when more are added
};

}  // namespace fm
