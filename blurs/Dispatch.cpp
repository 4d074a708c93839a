#include "blurs/BoxBlur.h"
#include "blurs/CameraLensBlur.h"
#include "blurs/DirectionalBlur.h"
#include "blurs/GaussianBlur.h"
#include "blurs/RadialBlur.h"
#include "blurs/Separable.h"
#include "blurs/VectorBlur.h"
#include "engine/BlurDispatch.h"
#include "engine/HostMemory.h"

namespace fm {
namespace {

using PlanMaker = void (*)(const RenderSettings&, const double scale[3], SeparablePlan&);

// The separable kinds: a plan made for this frame, run, and dropped whatever the result.
bool renderSeparable(const BlurRequest& r, PlanMaker makePlan, int edgeMode, bool linearLight) {
  return falseOnBadAlloc([&] {
    SeparablePlan plan;
    makePlan(*r.settings, r.scale, plan);
    return runSeparable(*r.be, plan, edgeMode, *r.input, r.inputBounds, r.outRect, *r.out, linearLight);
  });
}

}  // namespace

// Each kind's runner joins this switch as it is built; until then its frames fail
// with the driver's "render failed" rather than rendering something wrong.
bool dispatchBlur(const BlurRequest& request) {
  const RenderSettings& s = *request.settings;
  switch (s.blurType) {
    case kGaussianBlur:
      return renderSeparable(request, &makeGaussianPlan,
                             s.gaussianRepeatEdgePixels ? FM_EDGE_CLAMP : FM_EDGE_ZERO, s.lowBitDepth);
    case kBoxBlur:
      // Box Blur's "Repeat Edge Pixels" averages over the input's pixels only.
      return renderSeparable(request, &makeBoxPlan, s.boxRepeatEdgePixels ? FM_EDGE_INSIDE : FM_EDGE_ZERO,
                             false);
    case kVectorBlur:
      return renderVectorBlur(*request.be, s, request.scale, *request.input, request.inputBounds,
                              request.layerBounds, request.map, request.mapRect, request.outRect, *request.out);
    case kCameraLensBlur:
      return renderCameraLensBlur(*request.be, s, request.scale, *request.input, request.inputBounds,
                                  request.layerBounds, request.map, request.mapRect, request.outRect,
                                  *request.out);
    case kRadialBlur:
      return renderRadialBlur(*request.be, s, request.scale, *request.input, request.inputBounds, request.outRect,
                              *request.out);
    case kMotionBlur:
      // Tracked frames have their own driver; only directional ones come here.
      if (s.motionBlurType != 1) return false;
      return renderDirectionalBlur(*request.be, s, request.scale, *request.input, request.inputBounds,
                                   request.outRect, *request.out);
    default:
      return false;
  }
}

}  // namespace fm
