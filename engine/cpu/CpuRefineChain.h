// The fused runner of a chain of Jacobi steps (fm_flow_refine, CpuBackend::launchChain), part of
// the level body (CpuLevelBody.h). A step reads three rows of the step before it around its own,
// so a band sweeps its rows once with each step a row behind the one before it: the steps between
// the first and the last live in a few rows of scratch that stay in the cache, where launching
// them one by one writes out and reads back a whole image per step. Each band computes its own
// rows of the last step and whatever rows around the band its earlier steps need.
#pragma once

namespace flow {

// The newest rows of one step's results: written in order into slots 1..kSlots; when the slots
// run out, the two newest move back to the front, so that a row and its neighbours always lie a
// pitch apart. Slot 0 is never written: a row's upper neighbour is addressed from the first on.
class RowWindow {
 public:
  static constexpr int kSlots = 6;

  void place(float4* memory, int rowPitch, int firstRow) {
    mem = memory;
    pitch = rowPitch;
    base = firstRow;
  }

  // The slot for row y, the row after the newest.
  float4* next(int y) {
    if (y - base + 1 > kSlots) {
      std::memcpy(static_cast<void*>(at(1)), at(kSlots - 1), size_t(2) * size_t(pitch) * sizeof(float4));
      base = y - 2;
    }
    return at(y - base + 1);
  }
  const float4* row(int y) const { return at(y - base + 1); }
  int rowPitch() const { return pitch; }

 private:
  float4* at(int slot) const { return mem + size_t(slot) * size_t(pitch); }
  float4* mem = nullptr;
  int pitch = 0;
  int base = 0;
};

// Row y of link l, from `in` (row y of the step before, its neighbours a pitch apart) into `out`.
// The images are taken from row y - 1 on (from row 0 for the first row), with the block to
// match, so that every address the kernel forms lies in memory that is there.
inline void refineRow(const CpuChainLink& l, int y, float4* out, int outPitch, const float4* in, const float4* wp,
                      const float* wt) {
  FMParams p = l.p;
  const int r = y > 0 ? 1 : 0, shift = y - r;
  p.aH -= shift;
  p.bH -= shift;
  p.dP = outPitch;
  p.dH = r + 1;
  p.y0 = 0;
  p.y1 = r + 1;
  runRefineBand(l.gridW, r, r + 1, out - fm_idx(r) * outPitch, in - fm_idx(r) * p.aP, wp + fm_idx(shift) * p.bP,
                wt + fm_idx(shift) * p.n * 4, p);
}

bool runRefineChain(const CpuChain& c, int first, int end) {
  const int K = c.count, H = c.links[0].p.dH;
  end = std::min(end, H);
  if (K < 2 || first >= end) return true;
  // Step k computes rows [lo(k), hi(k)): those of the band and those the steps after it read.
  auto lo = [&](int k) { return std::max(0, first - (K - 1 - k)); };
  auto hi = [&](int k) { return std::min(H, end + (K - 1 - k)); };
  RowWindow windows[kCpuChainMaxLinks];
  size_t rows = 0;
  for (int k = 0; k + 1 < K; ++k) rows += size_t(RowWindow::kSlots + 1) * size_t(c.links[k + 1].p.aP);
  float4* scratch = static_cast<float4*>(std::malloc(rows * sizeof(float4)));
  if (!scratch) return false;
  for (int k = 0, at = 0; k + 1 < K; ++k) {
    const int pitch = c.links[k + 1].p.aP;
    windows[k].place(scratch + at, pitch, lo(k));
    at += (RowWindow::kSlots + 1) * pitch;
  }
  const float4* src = static_cast<const float4*>(c.src);
  float4* dst = static_cast<float4*>(c.dst);
  const float4* wp = static_cast<const float4*>(c.srcB);
  const float* wt = static_cast<const float*>(c.tab);
  const int dP = c.links[K - 1].p.dP;
  float4* held = static_cast<float4*>(c.held) + fm_idx(first / c.bandRows) * (2 * K + 1) * dP;
  for (int t = lo(0); t - (K - 1) < hi(K - 1); ++t) {
    for (int k = 0; k < K; ++k) {
      const int y = t - k;
      if (y < lo(k) || y >= hi(k)) continue;
      const float4* in = k == 0 ? src + fm_idx(y) * c.links[0].p.aP : windows[k - 1].row(y);
      if (k + 1 < K) {
        refineRow(c.links[k], y, windows[k].next(y), windows[k].rowPitch(), in, wp, wt);
      } else {
        const int slot = refineHeldSlot(first, end, H, K, y);
        float4* out = slot >= 0 ? held + fm_idx(slot + 1) * dP : dst + fm_idx(y) * dP;
        refineRow(c.links[k], y, out, dP, in, wp, wt);
      }
    }
  }
  std::free(scratch);
  return true;
}

}  // namespace flow
