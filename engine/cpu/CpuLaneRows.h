// The frame of band runners that take kLanes pixels of a row at once (CpuLanes.h), part of the
// level body (CpuLevelBody.h): the kernel's own work items take the pixels the lanes do not,
// and the lanes' shared samplers follow the kernels' samplers operation for operation.
#pragma once

using KernelFn = void (*)(int, int, float4*, const float4*, const float4*, const float*, const FMParams&);

// A band's images and a local copy of its block: through the reference the compiler would have
// to reload every field after each pixel store.
struct BandArgs {
  float4* d;
  const float4* a;
  const float4* b;
  const float* t;
  FMParams p;
  // A destination far larger than the caches is written past them: reading its lines in
  // first would only cost bandwidth.
  bool stream;
  BandArgs(void* dst, const void* srcA, const void* srcB, const void* tab, const FMParams& block)
      : d(static_cast<float4*>(dst)),
        a(static_cast<const float4*>(srcA)),
        b(static_cast<const float4*>(srcB)),
        t(static_cast<const float*>(tab)),
        p(block),
        stream(int64_t(block.dH > 0 ? block.dH : 0) * block.dP * 16 >= kStreamFrom) {}

  static constexpr int64_t kStreamFrom = int64_t(16) << 20;

  // Destination pixels [x, x + kLanes) of row y.
  FM_LANE_FN void put(int x, int y, const Pixels& q) const {
    float4* at = d + fm_idx(y) * p.dP + x;
    stream ? streamPixels(at, q) : storePixels(at, q);
  }
};

// Whether every float of an image of h rows at `pitch` pixels has an index a lane can hold.
inline bool lanesReach(int h, int pitch) { return int64_t(h > 0 ? h : 0) * int64_t(pitch) * 4 < (int64_t(1) << 31); }

// Runs `K` item by item over rows [first, end) of a band.
template <KernelFn K>
inline void itemRows(int gridW, int first, int end, const BandArgs& g) {
  for (int gy = first; gy < end; ++gy)
    for (int gx = 0; gx < gridW; ++gx) K(gx, gy, g.d, g.a, g.b, g.t, g.p);
}

// Rows [first, end) of a kernel over dW x rows. `span(y, lo, hi)` names the columns [lo, hi) of
// row y that `lanes(x, y)` may take, kLanes at a time from x; the kernel's own items take the
// others.
template <KernelFn K, class Span, class Lanes>
FM_LANE_FN void laneRows(int gridW, int first, int end, const BandArgs& g, Span span, Lanes lanes) {
  const FMParams& p = g.p;
  const int width = std::min(gridW, p.dW);
  for (int gy = first; gy < end; ++gy) {
    const int y = p.y0 + gy;
    if (y >= p.y1 || y >= p.dH || width <= 0) continue;  // the items would do nothing
    int lo = 0, hi = 0;
    span(y, lo, hi);
    lo = std::min(std::max(lo, 0), width);
    hi = std::min(std::max(hi, lo), width);
    // Blocks start on whole vectors of the row, so that stores past the cache can be aligned.
    lo = std::min((lo + 3) & ~3, hi);
    int x = 0;
    for (; x < lo; ++x) K(x, gy, g.d, g.a, g.b, g.t, p);
    for (; x + kLanes <= hi; x += kLanes) lanes(x, y);
    for (; x < width; ++x) K(x, gy, g.d, g.a, g.b, g.t, p);
  }
  if (g.stream) streamFence();
}

FM_LANE_FN Lf lerp(Lf a, Lf b, Lf t) { return a * (1.0f - t) + b * t; }

// Columns x, x + 1, ... of the lanes, as the kernels convert them.
FM_LANE_FN Lf columnsOf(int x) { return toFloat(li(x) + laneIndex()); }

// fm_bilin_clamp's taps: position clamped into the image, the second tap clamped to its last
// column or row.
struct ClampedTaps {
  Li x0, x1, y0, y1;
  Lf ax, ay;
};

FM_LANE_FN ClampedTaps clampedTaps(int w, int h, Lf X, Lf Y) {
  // A NaN position lands on the first pixel; -0 becomes +0.
  X = select(X > 0.0f, lmin(X, lf(float(w - 1))), lf(0.0f));
  Y = select(Y > 0.0f, lmin(Y, lf(float(h - 1))), lf(0.0f));
  ClampedTaps t;
  t.x0 = truncInt(X);
  t.y0 = truncInt(Y);
  t.ax = X - toFloat(t.x0);
  t.ay = Y - toFloat(t.y0);
  t.x1 = lmini(t.x0 + 1, li(w - 1));
  t.y1 = lmini(t.y0 + 1, li(h - 1));
  return t;
}

FM_LANE_FN Lf blend(Lf a, Lf b, Lf c, Lf d, const ClampedTaps& t) { return lerp(lerp(a, b, t.ax), lerp(c, d, t.ax), t.ay); }

// The samplers' row windows are read only after being loaded, which the compiler cannot follow
// through the window cache.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// Samples one channel of an image at the lanes' positions, as fm_bilin_clamp samples it. Where
// the lanes' taps lie on one pair of rows within kWindow columns (16 lanes) or on neighbouring
// columns (8 lanes), those rows are read whole and the taps picked out of them (gathers are
// slow); other blocks gather. The 16 lanes' rows stay at hand for the block's next samples.
class ChannelSampler {
 public:
  ChannelSampler(const float4* img, int w, int h, int pitch, int channel)
      : img(img), data(reinterpret_cast<const float*>(img) + channel), w(w), h(h), pitch(pitch), channel(channel) {}

  FM_LANE_FN Lf operator()(Lf X, Lf Y) { return operator()(clampedTaps(w, h, X, Y)); }

  FM_LANE_FN Lf operator()(const ClampedTaps& t) {
#if FM_CPU_LANES == 16
    if (const int r0 = t.y0[0], r1 = t.y1[0]; pitch >= kWindow && allLanes((t.y0 == r0) & (t.y1 == r1))) {
      if (base < 0) base = std::min(std::max(t.x0[0] - kWindow / 4, 0), pitch - kWindow);
      const Li o0 = t.x0 - base, o1 = t.x1 - base;
      if (allLanes((o0 >= 0) & (o1 < kWindow))) {
        const Window& a = window(r0);
        const Window& b = window(r1);
        return blend(pick(a, o0), pick(a, o1), pick(b, o0), pick(b, o1), t);
      }
    }
#elif FM_CPU_LANES == 8
    // Lanes on neighbouring columns of one pair of rows, as a smooth flow puts them: the rows'
    // pixels are loaded whole, each once, rather than gathered tap by tap. The flow's samplers
    // all read channel 3.
    const Li run = (t.y0 == t.y0[0]) & (t.y1 == t.y1[0]) & (t.x0 == t.x0[0] + laneIndex()) & (t.x1 == t.x0 + 1);
    if (channel == 3 && allLanes(run)) {
      // Samples of one block often fall on the same cells (the candidates of a densified pixel,
      // say): their rows are loaded once.
      if (t.y0[0] != runY0 || t.y1[0] != runY1 || t.x0[0] != runX0) {
        runY0 = t.y0[0];
        runY1 = t.y1[0];
        runX0 = t.x0[0];
        rowRun(img + fm_idx(runY0) * pitch + runX0, runA, runB);
        rowRun(img + fm_idx(runY1) * pitch + runX0, runC, runD);
      }
      return blend(runA, runB, runC, runD, t);
    }
#endif
    const int P = 4 * pitch;
    const Li r0 = t.y0 * P, r1 = t.y1 * P;
    return blend(gather(data, r0 + 4 * t.x0), gather(data, r0 + 4 * t.x1), gather(data, r1 + 4 * t.x0),
                 gather(data, r1 + 4 * t.x1), t);
  }

 private:
#if FM_CPU_LANES == 16
  static constexpr int kWindow = 32;
  // The channel of pixels [base, base + kWindow) of one row.
  struct Window {
    int row = -1;
    Lf lo, hi;
  };

  FM_LANE_FN static Lf pick(const Window& w, Li at) { return __builtin_shuffle(w.lo, w.hi, at); }

  // Channel c of 16 pixels from p on.
  FM_LANE_FN Lf channelOf(const float4* p) const {
    const float* f = reinterpret_cast<const float*>(p);
    const Li of8 = 4 * laneIndex() + channel;
    const Lf a = __builtin_shuffle(loadLanes(f), loadLanes(f + 16), of8);
    const Lf b = __builtin_shuffle(loadLanes(f + 32), loadLanes(f + 48), of8);
    return lanes::firstHalves(a, b);
  }

  FM_LANE_FN const Window& window(int row) {
    for (const Window& w : windows)
      if (w.row == row) return w;
    Window& w = windows[next];
    next = (next + 1) % 4;
    const float4* p = img + fm_idx(row) * pitch + base;
    w.row = row;
    w.lo = channelOf(p);
    w.hi = channelOf(p + 16);
    return w;
  }

  Window windows[4];
  int next = 0;
  int base = -1;
#elif FM_CPU_LANES == 8
  // Channel 3 of pixels p[0..8) into `here` and of p[1..9) into `next`, sharing their loads.
  FM_LANE_FN static void rowRun(const float4* p, Lf& here, Lf& next) {
    const __m256 a = halves(p, p + 4), b = halves(p + 1, p + 5), c = halves(p + 2, p + 6), d = halves(p + 3, p + 7);
    here = transposed(a, b, c, d).w;
    next = transposed(b, c, d, halves(p + 4, p + 8)).w;
  }
  // The taps of the last run sampled: rows runY0 and runY1 from column runX0.
  int runY0 = -1, runY1 = -1, runX0 = -1;
  Lf runA, runB, runC, runD;
#endif
  const float4* img;
  const float* data;
  int w, h, pitch, channel;
};

// fm_fetch0 of every channel at the lanes' pixels: zero outside the image and outside the mask.
// As ChannelSampler, it reads rows whole where the lanes' pixels lie within kWindow columns of
// one or two rows, keeping the rows read for the block's next fetches, and gathers otherwise.
class PixelFetch {
 public:
  PixelFetch(const float4* img, int w, int h, int pitch) : img(img), w(w), h(h), pitch(pitch) {}

  FM_LANE_FN Pixels operator()(Li m, Li xs, Li ys) {
    const Li in = m & (xs >= 0) & (ys >= 0) & (xs < w) & (ys < h);
    const unsigned bits = laneMask(in);
    if (!bits) return Pixels{};
#if FM_CPU_LANES == 16
    const int first = __builtin_ctz(bits), r = ys[first];
    if (pitch >= kWindow && !anyLane(in & (ys != r) & (ys != r + 1))) {
      // Aligned, so that neighbouring fetches share their windows.
      const int base = std::min(std::max((xs[first] - kWindow / 4) & ~7, 0), pitch - kWindow);
      const Li o = xs - base;
      if (!anyLane(in & ((o < 0) | (o >= kWindow)))) {
        const Pixels top = pick(window(r, base), o);
        if (!anyLane(in & (ys != r))) return masked(in, top);
        const Pixels below = pick(window(r + 1, base), o);
        const Li upper = ys == r;
        return masked(in, {select(upper, top.x, below.x), select(upper, top.y, below.y), select(upper, top.z, below.z),
                           select(upper, top.w, below.w)});
      }
    }
#endif
    // Lanes outside read pixel (0, 0), which every image has, and give zeros.
    return masked(in, gatherPixels(img, select(in, ys, li(0)) * pitch + select(in, xs, li(0))));
  }

 private:
  FM_LANE_FN static Pixels masked(Li m, const Pixels& q) {
    return {select(m, q.x, lf(0.0f)), select(m, q.y, lf(0.0f)), select(m, q.z, lf(0.0f)), select(m, q.w, lf(0.0f))};
  }
#if FM_CPU_LANES == 16
  static constexpr int kWindow = 32;
  // Pixels [base, base + kWindow) of one row.
  struct Window {
    int row = -1, base = 0;
    Pixels lo, hi;
  };

  FM_LANE_FN static Pixels pick(const Window& w, Li at) {
    return {__builtin_shuffle(w.lo.x, w.hi.x, at), __builtin_shuffle(w.lo.y, w.hi.y, at),
            __builtin_shuffle(w.lo.z, w.hi.z, at), __builtin_shuffle(w.lo.w, w.hi.w, at)};
  }

  FM_LANE_FN const Window& window(int row, int base) {
    for (const Window& w : windows)
      if (w.row == row && w.base == base) return w;
    Window& w = windows[next];
    next = (next + 1) % 4;
    const float4* p = img + fm_idx(row) * pitch + base;
    w.row = row;
    w.base = base;
    w.lo = loadPixels(p);
    w.hi = loadPixels(p + 16);
    return w;
  }

  Window windows[4];
  int next = 0;
#endif
  const float4* img;
  int w, h, pitch;
};

#pragma GCC diagnostic pop

// fm_tw: the other frame's feature (template channel w) at moved positions.
FM_LANE_FN Lf templateW(const float4* tmpl, int w, int h, int pitch, Lf X, Lf Y) {
  return ChannelSampler(tmpl, w, h, pitch, 3)(X, Y);
}

// fm_outside: a moved pixel-edge position more than one pixel outside a w x h level, or NaN.
FM_LANE_FN Li outside(Lf X, Lf Y, int w, int h) {
  return ~((X >= -1.0f) & (Y >= -1.0f) & (X <= float(w) + 1.0f) & (Y <= float(h) + 1.0f));
}

// fm_limit_flow.
FM_LANE_FN void limitFlow(Lf& u, Lf& v, float maxLen) {
  const Lf squared = u * u + v * v;
  // Square roots round correctly and never downwards past a smaller argument's, so where every
  // square lies this far below maxLen squared no length can exceed maxLen: the roots and the
  // division, slow on some processors, are then skipped. (Never for a NaN or tiny maxLen.)
  if (maxLen >= 1e-10f && allLanes(squared < maxLen * maxLen * 0.999999f)) return;
  const Lf len = lsqrt(squared);
  const Li longer = len > maxLen;
  const Lf s = maxLen / len;
  u = select(longer, u * s, u);
  v = select(longer, v * s, v);
}
