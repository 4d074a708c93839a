// Renders a frame on the CPU: checks out what pre-render asked for, wraps the host's worlds and
// hands them to the CPU render.
#include "engine/cpu/CpuBackend.h"
#include "plugin/Commands.h"
#include "plugin/CpuRender.h"
#include "plugin/HostRect.h"
#include "plugin/PixelCheckouts.h"

namespace fm {
namespace {

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

PF_Err checkOutWorlds(const PF_InData* in, const PF_SmartRenderCallbacks* cb, const RenderSettings& s,
                      PixelCheckouts& checkouts, HostWorlds& w) {
  if (PF_Err err = checkouts.take(kCheckoutInput, &w.input)) return err;
  if (s.hasPrevFrame) {
    if (PF_Err err = checkouts.take(kCheckoutPrevious, &w.previous)) return err;
  }
  if (s.hasNextFrame) {
    if (PF_Err err = checkouts.take(kCheckoutNext, &w.next)) return err;
  }
  if (s.hasMap) {
    if (PF_Err err = checkouts.take(kCheckoutMap, &w.map)) return err;
  }
  return cb->checkoutOutput(in->effect, &w.output);
}

PF_Err smartRender(const PF_InData* in, PF_SmartRenderExtra* extra) {
  if (!isRenderExtra(in, extra)) return PF_Err_BadCallbackParam;
  const auto* s = static_cast<const RenderSettings*>(extra->input->preRenderData);
  if (!s) return PF_Err_InternalStructDamaged;

  AeParallel par(in);
  PixelCheckouts checkouts(in, extra->callbacks);
  HostWorlds hw;
  if (PF_Err err = checkOutWorlds(in, extra->callbacks, *s, checkouts, hw)) return err;
  PF_World *input = hw.input, *previous = hw.previous, *next = hw.next, *map = hw.map,
           *output = hw.output;
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
