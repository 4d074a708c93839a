#include "blurs/Render.h"

#include <cstdint>

#include "blurs/BlurKind.h"
#include "engine/Transfer.h"

namespace fm {
namespace {

void say(std::string* message, const char* text) {
  if (message) *message = text;
}

}  // namespace

bool isNegligible(const RenderSettings& s, const double scale[3]) {
  const BlurKind* kind = blurKind(s.blurType);
  return !kind || kind->negligible(s, scale);
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
    ok = clearImage(be, out);
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
    // Not negligible, so the kind exists.
    ok = blurKind(s.blurType)->render(r);
  }
  if (ok) return true;
  be.freeImage(out);
  say(message, be.wasAborted() ? "aborted" : "render failed");
  return false;
}

}  // namespace fm
