// The flow of the current frame towards one neighbour frame, how well the neighbour matches,
// and the rules that reject a neighbour: a held (repeated) frame and a scene cut.
#pragma once

#include <string>

#include "engine/Backend.h"
#include "tracking/FeaturePyramid.h"
#include "tracking/MatchMeasure.h"
#include "tracking/ScratchPool.h"

namespace fm {

struct NeighbourFlow {
  Buffer* flow = nullptr;  // finest-level flow, pool image; null when not estimated or dropped
  MatchMeasure match;
  bool estimated = false;
};

// Builds the neighbour's pyramid over `currentRect`, estimates the flow against `current` and
// measures the match (best effort); the neighbour's pyramid and the template are released.
// False with "pyramid", or "flow" unless the backend was aborted.
bool trackNeighbour(Backend& be, ScratchPool& pool, const FeaturePyramid& current, const PlacedImage& neighbour,
                    const Rect& currentRect, const PyramidRange& range, NeighbourFlow& out, std::string* message);

// Whether an estimated neighbour's flow is used, given the other neighbour's.
bool keepNeighbourFlow(const NeighbourFlow& self, const NeighbourFlow& other);

// Brings the finest flow of a kept neighbour to W x H (`full`, a pool image) and releases it.
// False with "memory" or "flow up".
bool flowToFullSize(Backend& be, ScratchPool& pool, NeighbourFlow& nb, int finest, int W, int H, Buffer*& full,
                    std::string* message);

}  // namespace fm
