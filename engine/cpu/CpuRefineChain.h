// The fused runner of a chain of Jacobi steps (fm_flow_refine, CpuBackend::launchChain), part of
// the level body (CpuLevelBody.h). A step reads three rows of the step before it around its own,
// so a band sweeps its rows once with each step a row behind the one before it: the steps between
// the first and the last live in a few rows of scratch that stay in the cache, where launching
// them one by one writes out and reads back a whole image per step. Each band computes its own
// rows of the last step and whatever rows around the band its earlier steps need. The scratch
// rows hold each channel apart, so that a pixel's neighbours are plain loads rather than
// transposed pixels; only the source, the data term and the weights are taken apart, once per
// row, and the last step's rows put back together.
#pragma once

namespace flow {

// The last rows of an image, each channel in a plane of its own, row y in slot y % rows. A plane
// has a vector of lanes to spare on either side: a pixel's left and right neighbours, and the
// lanes past the row's end that the last vector computes, can be read and written.
class PlaneRows {
 public:
  static size_t floats(int rows, int channels, int width) {
    return size_t(rows) * size_t(channels) * size_t(stride(width));
  }
  void place(float* memory, int rowCount, int channelCount, int width) {
    mem = memory;
    rows = rowCount;
    channels = channelCount;
    step = stride(width);
  }
  float* plane(int y, int c) const { return mem + (size_t(y % rows) * size_t(channels) + size_t(c)) * step + kLanes; }

  // Row y of an image of `width` pixels, channels [0, channels) of each.
  FM_LANE_FN void take(int y, const float4* row, int width) const {
    float* at[4] = {};
    for (int c = 0; c < channels; ++c) at[c] = plane(y, c);
    int x = 0;
    for (; x + kLanes <= width; x += kLanes) {
      const Pixels q = loadPixels(row + x);
      const Lf v[4] = {q.x, q.y, q.z, q.w};
      for (int c = 0; c < channels; ++c) storeLanes(at[c] + x, v[c]);
    }
    for (; x < width; ++x) {
      const float v[4] = {FM_X(row[x]), FM_Y(row[x]), FM_Z(row[x]), FM_W(row[x])};
      for (int c = 0; c < channels; ++c) at[c][x] = v[c];
    }
  }

 private:
  static size_t stride(int width) { return size_t((width + kLanes - 1) / kLanes + 2) * kLanes; }
  float* mem = nullptr;
  int rows = 1, channels = 1;
  size_t step = 0;
};

// Row y of one step: from the rows of the step before (`in`), the data term (r0, gx, gy) and
// the weights of row y, into the planes of `out`, or, where `row` is not null, into the first
// `width` pixels of that image row.
FM_LANE_FN void refinePlanes(const FMParams& p, int y, const PlaneRows& in, const PlaneRows& term,
                             const PlaneRows& weights, const PlaneRows* out, float4* row) {
  const int W = p.dW;
  const bool down = y + 1 < p.aH, up = y > 0;
  const float *u = in.plane(y, 0), *v = in.plane(y, 1), *z = in.plane(y, 2), *w = in.plane(y, 3);
  // Rows outside are never read: their neighbours count as absent.
  const float *ud = in.plane(down ? y + 1 : y, 0), *vd = in.plane(down ? y + 1 : y, 1);
  const float *uu = in.plane(up ? y - 1 : y, 0), *vu = in.plane(up ? y - 1 : y, 1);
  const float *r0 = term.plane(y, 0), *gx = term.plane(y, 1), *gy = term.plane(y, 2);
  const float* e[4] = {weights.plane(y, 0), weights.plane(y, 1), weights.plane(y, 2), weights.plane(y, 3)};
  float* to[4] = {};
  if (out)
    for (int c = 0; c < 4; ++c) to[c] = out->plane(y, c);
  const Li downs = down ? li(-1) : li(0), ups = up ? li(-1) : li(0);
  for (int x = 0; x < W; x += kLanes) {
    const Li xs = li(x) + laneIndex();
    const Lf a[4] = {loadLanes(e[0] + x), loadLanes(e[1] + x), loadLanes(e[2] + x), loadLanes(e[3] + x)};
    const Lf nu[4] = {loadLanes(u + x + 1), loadLanes(u + x - 1), loadLanes(ud + x), loadLanes(uu + x)};
    const Lf nv[4] = {loadLanes(v + x + 1), loadLanes(v + x - 1), loadLanes(vd + x), loadLanes(vu + x)};
    const Li inside[4] = {xs + 1 < W, xs > 0, downs, ups};
    const Pixels U = {loadLanes(u + x), loadLanes(v + x), loadLanes(z + x), loadLanes(w + x)};
    const Pixels q = jacobiStep(p, U, loadLanes(r0 + x), loadLanes(gx + x), loadLanes(gy + x), a, nu, nv, inside);
    if (!row) {
      storeLanes(to[0] + x, q.x);
      storeLanes(to[1] + x, q.y);
      storeLanes(to[2] + x, q.z);
      storeLanes(to[3] + x, q.w);
    } else if (x + kLanes <= W) {
      storePixels(row + x, q);
    } else {
      for (int i = 0; x + i < W; ++i) row[x + i] = make_f4(q.x[i], q.y[i], q.z[i], q.w[i]);
    }
  }
}

bool runRefineChain(const CpuChain& c, int first, int end) {
  const int K = c.count, H = c.links[0].p.dH, W = c.links[0].p.dW;
  end = std::min(end, H);
  if (K < 2 || first >= end) return true;
  // Step k computes rows [lo(k), hi(k)): those of the band and those the steps after it read.
  auto lo = [&](int k) { return std::max(0, first - (K - 1 - k)); };
  auto hi = [&](int k) { return std::min(H, end + (K - 1 - k)); };
  // The source and each step but the last keep the three rows the next step reads and the one
  // being made; the data term and the weights the rows of every step at once.
  constexpr int kFlowRows = 4;
  const size_t flow = PlaneRows::floats(kFlowRows, 4, W), term = PlaneRows::floats(K, 3, W),
               weights = PlaneRows::floats(K, 4, W);
  float* scratch = static_cast<float*>(std::calloc(size_t(K) * flow + term + weights, sizeof(float)));
  if (!scratch) return false;
  PlaneRows steps[kCpuChainMaxLinks], terms, weightRows;  // steps[0]: the source; steps[k + 1]: step k
  for (int k = 0; k < K; ++k) steps[k].place(scratch + size_t(k) * flow, kFlowRows, 4, W);
  terms.place(scratch + size_t(K) * flow, K, 3, W);
  weightRows.place(scratch + size_t(K) * flow + term, K, 4, W);

  const float4* src = static_cast<const float4*>(c.src);
  float4* dst = static_cast<float4*>(c.dst);
  const float4* wp = static_cast<const float4*>(c.srcB);
  const float* wt = static_cast<const float*>(c.tab);
  const FMParams& p0 = c.links[0].p;
  const int dP = c.links[K - 1].p.dP;
  float4* held = static_cast<float4*>(c.held) + fm_idx(first / c.bandRows) * (2 * K + 1) * dP;
  int taken = std::max(lo(0) - 1, 0);  // the next source row to take apart
  for (int t = lo(0); t - (K - 1) < hi(K - 1); ++t) {
    if (t < hi(0)) {
      for (; taken <= std::min(t + 1, H - 1); ++taken) steps[0].take(taken, src + fm_idx(taken) * p0.aP, W);
      terms.take(t, wp + fm_idx(t) * p0.bP, W);
      weightRows.take(t, reinterpret_cast<const float4*>(wt + fm_idx(t) * p0.n * 4), W);
    }
    for (int k = 0; k < K; ++k) {
      const int y = t - k;
      if (y < lo(k) || y >= hi(k)) continue;
      if (k + 1 < K) {
        refinePlanes(c.links[k].p, y, steps[k], terms, weightRows, &steps[k + 1], nullptr);
      } else {
        const int slot = refineHeldSlot(first, end, H, K, y);
        float4* row = slot >= 0 ? held + fm_idx(slot + 1) * dP : dst + fm_idx(y) * dP;
        refinePlanes(c.links[k].p, y, steps[k], terms, weightRows, nullptr, row);
      }
    }
  }
  std::free(scratch);
  return true;
}

}  // namespace flow
