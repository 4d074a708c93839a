// The worlds of one render as the host hands them out: the layers pre-render checked out, each
// checked in again when the render ends, and the output world.
#pragma once

#include "engine/RenderSettings.h"
#include "host/EffectInterface.h"

namespace fm {

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

// Null where nothing was delivered or pre-render recorded no checkout.
struct HostWorlds {
  PF_World *input = nullptr, *previous = nullptr, *next = nullptr, *map = nullptr, *output = nullptr;
};

// The input, the neighbours and the map that pre-render recorded, then the output world; the
// host's error from the first checkout that fails.
PF_Err checkOutWorlds(const PF_InData* in, const PF_SmartRenderCallbacks* cb, const RenderSettings& s,
                      PixelCheckouts& checkouts, HostWorlds& w);

// Whether the extra record has what a render needs from the host.
inline bool isRenderExtra(const PF_InData* in, const PF_SmartRenderExtra* extra) {
  return in && extra && extra->input && extra->callbacks && extra->callbacks->checkoutLayerPixels &&
         extra->callbacks->checkoutOutput;
}

}  // namespace fm
