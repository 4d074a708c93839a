#include "tracking/ScratchPool.h"

#include <new>

namespace fm {

Buffer* ScratchPool::take(int64_t width, int64_t height) noexcept {
  if (width > INT32_MAX || height > INT32_MAX) return nullptr;
  const int w = width < 1 ? 1 : int(width);
  const int h = height < 1 ? 1 : int(height);
  // The record comes first, so an image never exists without a place to release it from.
  try {
    buffers.emplace_back();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  if (!be.allocImage(buffers.back(), w, h)) {
    buffers.pop_back();
    return nullptr;
  }
  return &buffers.back();
}

void ScratchPool::release(Buffer* buf) noexcept {
  if (buf) be.freeImage(*buf);
}

void ScratchPool::releaseAll() noexcept {
  for (Buffer& b : buffers)
    if (b.data) be.freeImage(b);
  // Swapping with an empty deque gives the records' own memory back as well.
  std::deque<Buffer>().swap(buffers);
}

size_t ScratchPool::held() const noexcept {
  size_t n = 0;
  for (const Buffer& b : buffers) n += b.data != nullptr;
  return n;
}

}  // namespace fm
