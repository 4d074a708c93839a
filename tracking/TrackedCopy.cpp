#include "tracking/TrackedCopy.h"

#include <new>

#include "engine/Transfer.h"

namespace fm {

int originOffset(int32_t to, int32_t from) {
  const int64_t d = int64_t(to) - int64_t(from);
  return int(d < -kCoordLimit ? -kCoordLimit : d > kCoordLimit ? kCoordLimit : d);
}

bool copyCurrentFrame(Backend& be, const Buffer& current, const Rect& currentRect, Buffer& out, const Rect& outRect,
                      std::string* message) {
  FMParams p;
  makeParams(p, &out, &current, nullptr);
  p.ax = originOffset(outRect.left, currentRect.left);
  p.ay = originOffset(outRect.top, currentRect.top);
  if (be.launch(FM_K_COPY, &out, &current, nullptr, nullptr, &p, out.width, out.height, 2.0)) return true;
  setMessage(message, "copy");
  return false;
}

bool clearOutput(Backend& be, Buffer& out, std::string* message) {
  if (clearImage(be, out)) return true;
  setMessage(message, "clear");
  return false;
}

void setMessage(std::string* message, const char* word) noexcept {
  if (!message) return;
  try {
    *message = word;
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace fm
