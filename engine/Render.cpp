#include "engine/Render.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "engine/BlurDispatch.h"

namespace fm {
namespace {

void say(std::string* message, const char* text) {
  if (message) *message = text;
}

// Written so that a NaN aspect also counts as square pixels.
double pixelAspectOf(double par) { return par > 1e-6 ? par : 1.0; }

}  // namespace

double scaleX(const double scale[3]) { return scale[0] / pixelAspectOf(scale[2]); }
double scaleY(const double scale[3]) { return scale[1]; }

bool isNegligible(const RenderSettings& s, const double scale[3]) {
  const double sMax = std::max(scaleX(scale), scaleY(scale));
  switch (s.blurType) {
    case kVectorBlur:
      return std::abs(s.vectorAmount) < 0.0001;
    case kGaussianBlur:
      return sMax * s.blurriness * 0.2777777777777778 <= 0.05;
    case kCameraLensBlur:
      if (s.hasBlurMap) return false;
      return s.blurRadius * scaleY(scale) < 0.001;
    case kBoxBlur:
      return sMax * s.boxBlurRadius < 0.0001;
    case kRadialBlur:
      return s.radialAmount < 0.0001;
    case kMotionBlur:
      if (s.motionBlurType != 1) return true;
      return sMax * s.blurLength < 0.25;
    default:
      return true;
  }
}

bool copyInput(Backend& be, Buffer& out, const Rect& outRect, const Buffer& in, const Rect& inRect) {
  FMParams p;
  makeParams(p, &out, &in, nullptr);
  p.ax = paramOffset(int64_t(outRect.left) - inRect.left);
  p.ay = paramOffset(int64_t(outRect.top) - inRect.top);
  return be.launch(FM_K_COPY, &out, &in, nullptr, nullptr, &p, out.width, out.height, 2.0);
}

bool render(Backend& be, const RenderSettings& s, const double scale[3], const PlacedImage& input,
            const Rect& inputBounds, const Rect& layerBounds, const MapImage* map,
            const Rect& outRect, Buffer& out, std::string* message) {
  if (isEmpty(outRect)) {
    say(message, "empty output");
    return false;
  }
  const int64_t w = width(outRect), h = height(outRect);
  if (w > INT32_MAX || h > INT32_MAX || !be.allocImage(out, int(w), int(h))) {
    say(message, "out of memory (output)");
    return false;
  }

  bool ok;
  // A buffer without pixels counts as no input: reading it would fault.
  if (!isPresent(input) || !input.buffer->data) {
    FMParams p;
    makeParams(p, &out, nullptr, nullptr);
    ok = be.launch(FM_K_CLEAR, &out, nullptr, nullptr, nullptr, &p, out.width, out.height, 1.0);
  } else if (isNegligible(s, scale)) {
    ok = copyInput(be, out, outRect, *input.buffer, input.rect);
  } else {
    BlurRequest r;
    r.be = &be;
    r.settings = &s;
    r.scale = scale;
    r.input = &input;
    r.inputBounds = inputBounds;
    r.layerBounds = layerBounds;
    r.map = map;
    if (map) r.mapRect = isEmpty(map->bounds) ? map->rect : map->bounds;
    r.outRect = outRect;
    r.out = &out;
    ok = dispatchBlur(r);
  }
  if (ok) return true;
  be.freeImage(out);
  say(message, be.wasAborted() ? "aborted" : "render failed");
  return false;
}

}  // namespace fm
