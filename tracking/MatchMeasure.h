// How well the motion-compensated neighbour matches the current frame: a held (repeated)
// frame, and the correlation that exposes a scene cut.
#pragma once

#include <cstddef>

#include "engine/Backend.h"
#include "tracking/ScratchPool.h"

namespace fm {

struct MatchMeasure {
  bool held = false;
  bool correlationValid = false;
  double correlation = 0.0;  // meaningful only when correlationValid
};

// Pools the per-row statistics of fm_flow_stats (rows x pitch pixels of 4 floats, columns 0
// and 1 used) in double precision.
MatchMeasure poolMatchStatistics(const float* stats, int rows, int pitch);

// Runs fm_flow_stats over the finest flow and its template, downloads the rows and pools
// them. Best effort: when an image, the launch or the download fails, the result says "not
// held, no correlation".
MatchMeasure measureMatch(Backend& be, ScratchPool& pool, const Buffer& flow, const Buffer& tmpl);

}  // namespace fm
