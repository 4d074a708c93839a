#include "tracking/EstimateFlow.h"

#include "tracking/FlowRefine.h"
#include "tracking/PatchFlow.h"

namespace fm {
namespace {

bool hasLevels(const FeaturePyramid& pyr, const PyramidRange& range) {
  if (pyr.size() <= size_t(range.coarsest)) return false;
  for (int L = range.finest; L <= range.coarsest; ++L)
    if (!pyr[size_t(L)] || !pyr[size_t(L)]->data) return false;
  return true;
}

}  // namespace

bool estimateFlow(Backend& be, ScratchPool& pool, const FeaturePyramid& current, const FeaturePyramid& neighbour,
                  const PyramidRange& range, Buffer*& flow, Buffer*& tmpl) {
  flow = nullptr;
  tmpl = nullptr;
  if (range.finest < 0 || range.coarsest < range.finest || range.coarsest > kMaxPyramidLevel) return false;
  if (!hasLevels(current, range) || !hasLevels(neighbour, range)) return false;
  Buffer* coarser = nullptr;
  FlowLevel lv;
  for (int L = range.coarsest; L >= range.finest; --L) {
    const bool finest = L == range.finest;
    if (!runPatchStage(be, pool, *current[size_t(L)], *neighbour[size_t(L)], coarser, L, range, lv)) return false;
    if (!runRefineStage(be, pool, lv, coarser, L, range, finest)) return false;
    coarser = lv.flow;
  }
  flow = lv.flow;
  tmpl = lv.tmpl;
  return true;
}

}  // namespace fm
