#include "tracking/NeighbourFlow.h"

#include "tracking/EstimateFlow.h"
#include "tracking/TrackedCopy.h"

namespace fm {
namespace {

constexpr double kCutCorrelation = 0.5;   // below this the neighbour shows another scene
constexpr double kCutMismatch = 0.15;     // a mismatch above this is suspect ...
constexpr double kCutRatio = 4.0;         // ... when it is this many times the other side's

}  // namespace

bool trackNeighbour(Backend& be, ScratchPool& pool, const FeaturePyramid& current, const PlacedImage& neighbour,
                    const Rect& currentRect, const PyramidRange& range, NeighbourFlow& out, std::string* message) {
  out = NeighbourFlow{};
  FeaturePyramid pyr;
  if (!buildFeaturePyramid(be, pool, neighbour, currentRect, range.coarsest, pyr)) {
    releasePyramid(pool, pyr);
    setMessage(message, "pyramid");
    return false;
  }
  Buffer* tmpl = nullptr;
  if (!estimateFlow(be, pool, current, pyr, range, out.flow, tmpl)) {
    releasePyramid(pool, pyr);
    if (!be.wasAborted()) setMessage(message, "flow");
    return false;
  }
  out.match = measureMatch(be, pool, *out.flow, *tmpl);
  out.estimated = true;
  releasePyramid(pool, pyr);
  pool.release(tmpl);
  return true;
}

bool keepNeighbourFlow(const NeighbourFlow& self, const NeighbourFlow& other) {
  if (!self.estimated) return false;
  // A repeated frame shows no motion; the other side carries it.
  if (self.match.held && other.estimated && !other.match.held) return false;
  if (!self.match.correlationValid) return true;
  const double miss = 1.0 - self.match.correlation;
  if (!(self.match.correlation >= kCutCorrelation)) return false;
  if (miss > kCutMismatch && other.match.correlationValid && miss > kCutRatio * (1.0 - other.match.correlation))
    return false;
  return true;
}

bool flowToFullSize(Backend& be, ScratchPool& pool, NeighbourFlow& nb, int finest, int W, int H, Buffer*& full,
                    std::string* message) {
  full = pool.take(W, H);
  if (!full) {
    setMessage(message, "memory");
    return false;
  }
  FMParams p;
  makeParams(p, full, nb.flow, nullptr);
  p.g0 = levelFactor(finest);
  if (!be.launch(FM_K_FLOW_UP, full, nb.flow, nullptr, nullptr, &p, W, H, 4.0)) {
    setMessage(message, "flow up");
    return false;
  }
  pool.release(nb.flow);
  nb.flow = nullptr;
  return true;
}

}  // namespace fm
