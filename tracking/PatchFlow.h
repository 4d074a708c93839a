// The patch stage of one pyramid level: a grid of overlapping patches of the current frame is
// tracked into the neighbour, each with its own gain and offset, and merged into a dense flow.
#pragma once

#include "engine/Backend.h"
#include "tracking/FeaturePyramid.h"
#include "tracking/ScratchPool.h"

namespace fm {

// Patches are 8 pixels square (less on a smaller level), one every 4 pixels.
constexpr int kPatchSize = 8;
constexpr int kPatchStep = 4;
constexpr int kPatchIterations = 16;

// The images of one level, all W_L x H_L, taken from the pool by the patch stage.
struct FlowLevel {
  Buffer* tmpl = nullptr;   // (Z0, dZ0/dx, dZ0/dy, Z1)
  Buffer* flow = nullptr;   // dense (u, v, gain, offset)
  Buffer* spareA = nullptr;  // working images of the refinement
  Buffer* spareB = nullptr;
};

// Patch side and patch-grid size of a W x H level.
int patchSize(int width, int height);
int patchCount(int extent, int size);

// Level `level` of both pyramids (same size); `coarser` is the refined flow of level + 1, null
// on the coarsest level. False when an image cannot be had or a launch fails; what was taken
// stays in the pool.
bool runPatchStage(Backend& be, ScratchPool& pool, const Buffer& current, const Buffer& neighbour,
                   const Buffer* coarser, int level, const PyramidRange& range, FlowLevel& out);

}  // namespace fm
