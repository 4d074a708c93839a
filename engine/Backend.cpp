#include "engine/Backend.h"

#include <cstring>

namespace fm {

void makeParams(FMParams& p, const Buffer* dst, const Buffer* srcA, const Buffer* srcB) {
  std::memset(&p, 0, sizeof p);
  if (dst) {
    p.dW = dst->width;
    p.dH = dst->height;
    p.dP = dst->pitch;
  }
  if (srcA) {
    p.aW = srcA->width;
    p.aH = srcA->height;
    p.aP = srcA->pitch;
  }
  if (srcB) {
    p.bW = srcB->width;
    p.bH = srcB->height;
    p.bP = srcB->pitch;
  }
  p.g0 = 1.0f;
  p.y0 = 0;
  p.y1 = dst ? dst->height : 0;
}

bool Backend::launchChain(ChainLink* links, int count) {
  for (int i = 0; i < count; ++i) {
    ChainLink& l = links[i];
    if (!launch(l.kernel, l.dst, l.src, l.srcB, l.tab, &l.params, l.gridW, l.gridH, l.cost)) return false;
    if (wasAborted()) return false;
  }
  return true;
}

bool launchFull(Backend& be, int kernel, Buffer& dst, const Buffer* srcA, FMParams& p) {
  p.y0 = 0;
  p.y1 = dst.height;
  return be.launch(kernel, &dst, srcA, nullptr, nullptr, &p, dst.width, dst.height, 4.0);
}

const char* kernelName(int kernel) {
#define FM_NAME_ENTRY(id, name) #name,
  static const char* const names[FM_KERNEL_COUNT] = {FM_KERNEL_LIST(FM_NAME_ENTRY)};
#undef FM_NAME_ENTRY
  if (kernel < 0 || kernel >= FM_KERNEL_COUNT) return nullptr;
  return names[kernel];
}

}  // namespace fm
