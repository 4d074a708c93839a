// Rendering a planned frame on the CPU, host worlds in and out. The smart-render command runs
// it on the host's worlds; a failed GPU render runs it on copies of the device worlds.
#pragma once

#include "engine/Backend.h"
#include "engine/RenderSettings.h"
#include "plugin/AeParallel.h"
#include "plugin/HostWorld.h"

namespace fm {

// The worlds of one render. A world without data was not delivered.
struct RenderWorlds {
  WorldView output, input, previous, next, map;
};

// Renders the frame that pre-render planned into the output world, on `be` (a CPU backend over
// `par`). The host's code: 0; 517 once the host asked to stop (the output is then not written
// unless the stop came during the export); 4 when memory ran out or the render failed.
PF_Err cpuRender(Backend& be, AeParallel& par, const RenderSettings& s, const RenderWorlds& worlds);

}  // namespace fm
