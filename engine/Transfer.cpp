#include "engine/Transfer.h"

namespace fm {

bool clearImage(Backend& be, Buffer& dst) {
  FMParams p;
  makeParams(p, &dst, nullptr, nullptr);
  return be.launch(FM_K_CLEAR, &dst, nullptr, nullptr, nullptr, &p, dst.width, dst.height, 1.0);
}

bool copyShifted(Backend& be, Buffer& dst, const Buffer& src, int64_t ax, int64_t ay) {
  FMParams p;
  makeParams(p, &dst, &src, nullptr);
  p.ax = paramOffset(ax);
  p.ay = paramOffset(ay);
  return be.launch(FM_K_COPY, &dst, &src, nullptr, nullptr, &p, dst.width, dst.height, 2.0);
}

bool copyInput(Backend& be, Buffer& out, const Rect& outRect, const Buffer& in, const Rect& inRect) {
  return copyShifted(be, out, in, int64_t(outRect.left) - inRect.left, int64_t(outRect.top) - inRect.top);
}

}  // namespace fm
