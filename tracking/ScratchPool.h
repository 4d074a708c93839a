// The working images of one tracked render. Records live at stable addresses, so pyramids and
// stages can hold pointers to them while more are taken; everything still held is released
// when the pool goes, whichever way the render ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "engine/Backend.h"
#include "engine/ImageList.h"

namespace fm {

class ScratchPool {
 public:
  explicit ScratchPool(Backend& backend) noexcept : be(backend) {}
  ~ScratchPool() { releaseAll(); }
  ScratchPool(const ScratchPool&) = delete;
  ScratchPool& operator=(const ScratchPool&) = delete;

  // An image of max(1, width) x max(1, height); null when the size does not fit an image or
  // the backend refuses (nothing is recorded then).
  Buffer* take(int64_t width, int64_t height) noexcept {
    return addRecordedImage(be, buffers, width, height);
  }

  // Frees one image early; its record stays, emptied. Null and repeated releases are harmless.
  void release(Buffer* buf) noexcept;

  // Frees every image still held and forgets all records.
  void releaseAll() noexcept;

  // Images currently holding storage.
  size_t held() const noexcept;

  Backend& backend() noexcept { return be; }

 private:
  Backend& be;
  std::deque<Buffer> buffers;  // a deque: appending never moves the records handed out
};

}  // namespace fm
