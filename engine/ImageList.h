// The engine images of one run, released together when the run ends, whichever way it ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>

#include "engine/Backend.h"

namespace fm {

class ImageList {
 public:
  explicit ImageList(Backend& backend) noexcept : be(backend) {}
  ~ImageList() { releaseAll(); }
  ImageList(const ImageList&) = delete;
  ImageList& operator=(const ImageList&) = delete;

  // Allocates an image with both sizes raised to at least 1 and records it. Null when the
  // size does not fit an image or the backend refuses; nothing is recorded then. The
  // returned handle stays valid until releaseAll.
  Buffer* add(int64_t width, int64_t height) noexcept;

  // Releases every recorded image, in allocation order, and forgets them.
  void releaseAll() noexcept;

  size_t size() const noexcept { return images.size(); }

 private:
  Backend& be;
  std::list<Buffer> images;  // a list: handles must not move when more are added
};

}  // namespace fm
