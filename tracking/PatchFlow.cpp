#include "tracking/PatchFlow.h"

#include <algorithm>

namespace fm {

int patchSize(int width, int height) { return std::min({kPatchSize, width, height}); }

int patchCount(int extent, int size) { return (extent - size + kPatchStep - 1) / kPatchStep + 1; }

bool runPatchStage(Backend& be, ScratchPool& pool, const Buffer& current, const Buffer& neighbour,
                   const Buffer* coarser, int level, const PyramidRange& range, FlowLevel& out) {
  out = FlowLevel{};
  const int W = current.width, H = current.height;
  // The template reads both levels at the same positions.
  if (W < 1 || H < 1 || neighbour.width != W || neighbour.height != H) return false;

  out.tmpl = pool.take(W, H);
  if (!out.tmpl) return false;
  FMParams p;
  makeParams(p, out.tmpl, &current, &neighbour);
  if (!be.launch(FM_K_TMPL, out.tmpl, &current, &neighbour, nullptr, &p, W, H, 10.0)) return false;

  const int n = patchSize(W, H);
  Buffer* patches = pool.take(patchCount(W, n), patchCount(H, n));
  if (!patches) return false;
  const int pw = patches->width, ph = patches->height;
  makeParams(p, patches, coarser ? coarser : patches, nullptr);
  p.mode = coarser ? 1 : 0;
  p.n = n;
  p.segLen = kPatchStep;
  p.lo = W;
  p.hi = H;
  if (!be.launch(FM_K_PATCH_INIT, patches, coarser ? coarser : patches, nullptr, nullptr, &p, pw, ph, 4.0))
    return false;

  makeParams(p, patches, out.tmpl, nullptr);
  p.n = n;
  p.segLen = kPatchStep;
  p.count = kPatchIterations;
  p.g0 = range.maxFlow / levelFactor(level);
  if (!be.launch(FM_K_PATCH_SEARCH, patches, out.tmpl, nullptr, nullptr, &p, pw, ph, double(n) * n * 8.0))
    return false;

  out.flow = pool.take(W, H);
  out.spareA = pool.take(W, H);
  out.spareB = pool.take(W, H);
  if (!out.flow || !out.spareA || !out.spareB) return false;
  makeParams(p, out.flow, patches, out.tmpl);
  p.n = n;
  p.segLen = kPatchStep;
  if (!be.launch(FM_K_DENSIFY, out.flow, patches, out.tmpl, nullptr, &p, W, H, 16.0)) return false;
  pool.release(patches);
  return true;
}

}  // namespace fm
