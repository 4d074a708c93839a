// A frame rendered through the module: pre-render, then render into the caller's memory.
#pragma once

#include "host/EffectInterface.h"
#include "host/FrameTypes.h"
#include "host/HostInstance.h"

namespace fm::host {

// Safe to call from several threads at once, while no parameter or layer changes.
FrameReport renderFrame(HostInstance& instance, PF_EffectMainFunc entry,
                        const FrameRequest& request, const OutputPlacer& place);

}  // namespace fm::host
