#include "tracking/ScratchPool.h"

namespace fm {

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
