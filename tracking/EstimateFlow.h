// Coarse-to-fine flow between two feature pyramids: on every level of the range, the patch
// stage seeded by the coarser level's result, then the refinement.
#pragma once

#include "engine/Backend.h"
#include "tracking/FeaturePyramid.h"
#include "tracking/ScratchPool.h"

namespace fm {

// On success `flow` is the refined flow of the finest level (u, v, confidence, |residual|, in
// that level's pixels) and `tmpl` its template, both owned by the pool. False, with both null,
// when the range is inverted, a pyramid lacks a level, an image or launch fails, or the backend
// reports an abort between levels.
bool estimateFlow(Backend& be, ScratchPool& pool, const FeaturePyramid& current, const FeaturePyramid& neighbour,
                  const PyramidRange& range, Buffer*& flow, Buffer*& tmpl);

}  // namespace fm
