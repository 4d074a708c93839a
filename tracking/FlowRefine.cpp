#include "tracking/FlowRefine.h"

#include <utility>

namespace fm {

bool runRefineStage(Backend& be, ScratchPool& pool, FlowLevel& lv, Buffer* coarser, int level,
                    const PyramidRange& range, bool keepTemplate) {
  Buffer* T = lv.tmpl;
  Buffer* D = lv.flow;
  Buffer* F = lv.spareA;
  Buffer* Wp = lv.spareB;
  if (!T || !D || !F || !Wp) return false;
  const int W = D->width, H = D->height;

  FMParams p;
  makeParams(p, Wp, D, T);
  if (!be.launch(FM_K_FLOW_WARP, Wp, D, T, nullptr, &p, W, H, 16.0)) return false;

  Buffer* E = pool.take(W, H);
  if (!E) return false;
  makeParams(p, E, T, nullptr);
  p.g1 = kSmoothnessWeight;
  p.g2 = kEdgeSensitivity;
  if (!be.launch(FM_K_FLOW_EDGES, E, T, nullptr, nullptr, &p, W, H, 6.0)) return false;

  // The edge image is read through the table argument: four weights per pixel at its pitch.
  Table edges;
  edges.data = E->data;
  edges.count = uint64_t(E->height) * uint64_t(E->pitch) * 4u;
  // Each step reads only the one before it: a chain, which a backend may run without writing
  // the steps between out. Four steps end back in D.
  ChainLink steps[4];
  Buffer* from = D;
  Buffer* to = F;
  for (int step = 0; step < 4; ++step) {
    ChainLink& l = steps[step];
    makeParams(l.params, to, from, Wp);
    l.params.n = E->pitch;
    l.params.g0 = range.maxFlow / levelFactor(level);
    l.params.g3 = kDataWeight;
    l.params.mode = step == 3 ? 1 : 0;
    l.kernel = FM_K_FLOW_REFINE;
    l.dst = to;
    l.src = from;
    l.srcB = Wp;
    l.tab = &edges;
    l.gridW = W;
    l.gridH = H;
    l.cost = 8.0;
    std::swap(from, to);
  }
  if (!be.launchChain(steps, 4)) return false;
  pool.release(E);
  pool.release(Wp);
  pool.release(F);
  pool.release(coarser);
  lv.spareA = lv.spareB = nullptr;
  if (!keepTemplate) {
    pool.release(T);
    lv.tmpl = nullptr;
  }
  return !be.wasAborted();
}

}  // namespace fm
