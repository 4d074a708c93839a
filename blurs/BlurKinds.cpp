#include "blurs/BlurKind.h"

namespace fm {

const BlurKind* blurKind(int32_t blurType) {
  static const BlurKind* const kinds[] = {&vectorBlurKind, &gaussianBlurKind, &cameraLensBlurKind,
                                          &boxBlurKind,    &radialBlurKind,   &motionBlurKind};
  if (blurType < kVectorBlur || blurType > kMotionBlur) return nullptr;
  return kinds[blurType - kVectorBlur];
}

}  // namespace fm
