// The refinement stage of one pyramid level: a few Jacobi steps of a robust, edge-aware
// variational energy around the patch flow, the last of which turns the flow into
// (u, v, confidence, |residual|).
#pragma once

#include "engine/Backend.h"
#include "tracking/FeaturePyramid.h"
#include "tracking/PatchFlow.h"
#include "tracking/ScratchPool.h"

namespace fm {

constexpr float kSmoothnessWeight = 0.02f;
constexpr float kEdgeSensitivity = 20.0f;
constexpr float kDataWeight = 1.0f;

// Refines `lv.flow` in place after runPatchStage. Releases the working images, `coarser` (the
// flow that seeded this level) and, unless `keepTemplate`, the template. False when an image
// or launch fails, or when the backend reports an abort.
bool runRefineStage(Backend& be, ScratchPool& pool, FlowLevel& lv, Buffer* coarser, int level,
                    const PyramidRange& range, bool keepTemplate);

}  // namespace fm
