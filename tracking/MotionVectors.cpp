#include "tracking/MotionVectors.h"


#include "tracking/TrackedCopy.h"

namespace fm {

int vectorEncoding(int bitDepth) { return bitDepth >= 32 ? 2 : bitDepth >= 16 ? 1 : 0; }

bool runVectorStage(Backend& be, const Buffer& velocity, const Rect& currentRect, Buffer& out, const Rect& outRect,
                    double maxDisplacement, double downsampleX, double downsampleY, int bitDepth,
                    std::string* message) {
  // Written so that a NaN displacement takes the smallest range.
  const double range = maxDisplacement > 0.001 ? maxDisplacement : 0.001;
  FMParams p;
  makeParams(p, &out, nullptr, &velocity);
  p.g0 = float(downsampleX * range);
  p.g1 = float(range * downsampleY);
  p.ax = originOffset(outRect.left, currentRect.left);
  p.ay = originOffset(outRect.top, currentRect.top);
  p.mode = vectorEncoding(bitDepth);
  if (be.launch(FM_K_MVVIEW, &out, nullptr, &velocity, nullptr, &p, out.width, out.height, 2.0)) return true;
  setMessage(message, "vectors");
  return false;
}

}  // namespace fm
