// Renders a frame on the CPU: checks out what pre-render asked for, wraps the host's worlds and
// hands them to the CPU render.
#include "engine/cpu/CpuBackend.h"
#include "plugin/Commands.h"
#include "plugin/CpuRender.h"
#include "plugin/HostRect.h"

namespace fm {
namespace {

// The layer pixels checked out for one render, each checked in again when the render ends.
class PixelCheckouts {
 public:
  PixelCheckouts(const PF_InData* in, const PF_SmartRenderCallbacks* cb) : in_(in), cb_(cb) {}
  ~PixelCheckouts() {
    if (!cb_->checkinLayerPixels) return;
    for (int i = 0; i < count_; ++i) cb_->checkinLayerPixels(in_->effect, ids_[i]);
  }
  PixelCheckouts(const PixelCheckouts&) = delete;
  PixelCheckouts& operator=(const PixelCheckouts&) = delete;

  PF_Err take(int32_t id, PF_World** world) {
    *world = nullptr;
    if (PF_Err err = cb_->checkoutLayerPixels(in_->effect, id, world)) return err;
    ids_[count_++] = id;
    return PF_Err_None;
  }

 private:
  const PF_InData* in_;
  const PF_SmartRenderCallbacks* cb_;
  int32_t ids_[4] = {};
  int count_ = 0;
};

// A checked-out layer: absent when nothing was delivered; refused (false) when it has pixels
// the CPU cannot walk.
bool layerView(const PF_InData* in, const PF_World* world, int32_t bitDepth, const Rect& recorded,
               WorldView& view) {
  view = WorldView{};
  if (!world || !world->data || world->width <= 0 || world->height <= 0) return true;
  view = viewOf(*world, worldFormat(in, world, bitDepth), recorded);
  return isUsable(view) && view.format != kWorldGpuBgra;
}

}  // namespace

PF_Err smartRender(const PF_InData* in, PF_SmartRenderExtra* extra) {
  if (!in || !extra || !extra->input || !extra->callbacks ||
      !extra->callbacks->checkoutLayerPixels || !extra->callbacks->checkoutOutput) {
    return PF_Err_BadCallbackParam;
  }
  const auto* s = static_cast<const RenderSettings*>(extra->input->preRenderData);
  if (!s) return PF_Err_InternalStructDamaged;

  AeParallel par(in);
  PixelCheckouts checkouts(in, extra->callbacks);
  PF_World *input = nullptr, *previous = nullptr, *next = nullptr, *map = nullptr;
  if (PF_Err err = checkouts.take(kCheckoutInput, &input)) return err;
  if (s->hasPrevFrame) {
    if (PF_Err err = checkouts.take(kCheckoutPrevious, &previous)) return err;
  }
  if (s->hasNextFrame) {
    if (PF_Err err = checkouts.take(kCheckoutNext, &next)) return err;
  }
  if (s->hasMap) {
    if (PF_Err err = checkouts.take(kCheckoutMap, &map)) return err;
  }
  PF_World* output = nullptr;
  if (PF_Err err = extra->callbacks->checkoutOutput(in->effect, &output)) return err;
  if (!output) return PF_Err_None;

  const int32_t depth = s->bitDepth;
  RenderWorlds w;
  w.output = viewOf(*output, worldFormat(in, output, depth), s->resultRect);
  if (w.output.format == kWorldUnknown || w.output.format == kWorldGpuBgra) {
    return PF_Err_BadCallbackParam;
  }
  if (output->width > 0 && output->height > 0 && !isUsable(w.output)) {
    return PF_Err_BadCallbackParam;
  }
  if (!layerView(in, input, depth, s->inputResult, w.input) ||
      !layerView(in, previous, depth, s->prevRect, w.previous) ||
      !layerView(in, next, depth, s->nextRect, w.next) ||
      !layerView(in, map, depth, s->mapResult, w.map)) {
    return PF_Err_BadCallbackParam;
  }
  CpuBackend be(&par, &AeParallel::abortQuery, &par);
  return cpuRender(be, par, *s, w);
}

}  // namespace fm
