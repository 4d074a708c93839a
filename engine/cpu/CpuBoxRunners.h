// CPU runners of the two box passes, alone and as fused chains, part of the level body
// (CpuLevelBody.h), after CpuSpecialRunners.h. Each gives every destination pixel exactly the
// value the kernel's own work item gives it: lane for lane the same additions, subtractions
// and scalings in the same order; only which pixels share an instruction changes.
#pragma once

namespace special {

constexpr int kStrip = 128;   // widest column strip: its sums stay in L1, and the 2n + 1 rows
                              // a slide spans in L2 for radii in the hundreds
constexpr int kAhead = 12;    // rows prefetched ahead by the column runner
constexpr int kRowGroup = 8;  // rows slid together by the row runner
constexpr int kChainRows = 4; // rows a row chain carries through all its links at once

alignas(64) const float4 kZeroStrip[kStrip] = {};

// Four neighbouring pixels, for the column runner: one instruction per step where the level
// has 512-bit vectors.
typedef float Wide __attribute__((vector_size(64), aligned(16), may_alias));

__attribute__((always_inline)) inline Wide wideAt(const float4* p) {
  Wide v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

__attribute__((always_inline)) inline void streamWide(float4* d, Wide v) {
#if FM_CPU_LANES == 16 && defined(FM_F4_NATIVE)
  if ((reinterpret_cast<uintptr_t>(d) & 63) == 0) {
    _mm512_stream_ps(reinterpret_cast<float*>(d), (__m512)v);
    return;
  }
#endif
  float4 h[4];
  std::memcpy(h, &v, sizeof h);
  for (int k = 0; k < 4; ++k) streamStore(d + k, h[k]);
}

template <bool Stream>
__attribute__((always_inline)) inline void put(float4* d, float4 v) {
  if (Stream)
    streamStore(d, v);
  else
    *d = v;
}

// The lowest and highest offset from a position that a box step reads (n may be negative).
inline int boxLowestRead(int n) { return std::min(n, -n - 1); }
inline int boxHighestRead(int n, float frac) { return std::max({n, -n - 1, frac > 0.0f ? n + 1 : n}); }

// ------------------------------------------------------------------ rows

// R rows of one source length slid together. Each row's running sum is its own dependency
// chain, so the rows' additions overlap instead of each waiting on the last; the edge rule
// resolves a position once for all of them.
template <int R, bool Stream>
__attribute__((always_inline)) inline void boxRowGroup(const float4* const* src, float4* const* dst,
                                                       const FMParams& p, int gridW, int len) {
  const int n = p.n;
  const float frac = p.frac;
  const int dlo = fm_direct_lo(p.mode, p.lo), dhi = fm_direct_hi(p.mode, p.hi, len);
  auto index = [&](int i) { return i >= dlo && i < dhi ? i : fm_ax_index(i, len, p.mode, p.lo, p.hi); };
  auto at = [&](int r, int j) { return j < 0 ? f4z() : src[r][j]; };
  const int wlo = p.lo + n + 1, whi = p.hi - n - 1;
  const bool inside = p.mode == FM_EDGE_INSIDE;
  const float wInterior = fm_box_weight(wlo, n, frac, p.mode, p.lo, p.hi);
  // Positions whose reads are all direct and whose weight is the interior one.
  const int64_t iLo = std::max<int64_t>(int64_t(dlo) - boxLowestRead(n), inside ? wlo : INT64_MIN);
  const int64_t iHi = std::min<int64_t>(int64_t(dhi) - boxHighestRead(n, frac), inside ? whi : INT64_MAX);

  for (int seg = 0; seg < gridW; ++seg) {
    const int s0 = seg * p.segLen;
    if (s0 >= p.dW) break;
    const int s1 = std::min(s0 + p.segLen, p.dW);
    float4 S[R];
    for (int r = 0; r < R; ++r) S[r] = f4z();
    const int k1 = fm_box_first_hi(s0, n, p.mode, dhi);
    for (int k = fm_box_first_lo(s0, n, p.mode, dlo); k <= k1; ++k) {
      const int j = index(s0 + k);
      for (int r = 0; r < R; ++r) S[r] += at(r, j);
    }
    auto edgeStep = [&](int i) {
      if (i > s0) {
        const int ja = index(i + n), js = index(i - n - 1);
        for (int r = 0; r < R; ++r) {
          S[r] += at(r, ja);
          S[r] -= at(r, js);
        }
      }
      const float weight = (!inside || (i >= wlo && i < whi)) ? wInterior
                                                               : fm_box_weight(i, n, frac, p.mode, p.lo, p.hi);
      const int jl = index(i - n - 1), jr = index(i + n + 1);
      for (int r = 0; r < R; ++r)
        put<Stream>(dst[r] + i, fm_box_apply(S[r], frac > 0.0f ? at(r, jl) : f4z(),
                                             frac > 0.0f ? at(r, jr) : f4z(), frac, weight));
    };
    const int headEnd = int(std::clamp<int64_t>(std::max<int64_t>(iLo, s0 + 1), s0, s1));
    const int bodyEnd = int(std::clamp<int64_t>(iHi, headEnd, s1));
    int i = s0;
    for (; i < headEnd; ++i) edgeStep(i);
    const bool positive = wInterior > 0.0f;
    const float scale = positive ? 1.0f / wInterior : 0.0f;
    auto body = [&](auto withFrac, int r, int at) {
      S[r] += src[r][at + n];
      S[r] -= src[r][at - n - 1];
      float4 o = S[r];
      if (withFrac) o += (src[r][at - n - 1] + src[r][at + n + 1]) * frac;
      put<Stream>(dst[r] + at, positive ? o * scale : f4z());
    };
    // Streamed stores go a whole cache line per row before the next row's: 16-byte stores
    // spread over R lines at once outrun the write-combining buffers of some processors,
    // which then write partial lines.
    auto run = [&](auto withFrac) {
      if (Stream)
        for (; i < bodyEnd && (reinterpret_cast<uintptr_t>(dst[0] + i) & 63) != 0; ++i)
          for (int r = 0; r < R; ++r) body(withFrac, r, i);
      for (; i + 4 <= bodyEnd; i += 4)
        for (int r = 0; r < R; ++r)
          for (int k = 0; k < 4; ++k) body(withFrac, r, i + k);
      for (; i < bodyEnd; ++i)
        for (int r = 0; r < R; ++r) body(withFrac, r, i);
    };
    if (frac > 0.0f)
      run(std::true_type{});
    else
      run(std::false_type{});
    for (; i < s1; ++i) edgeStep(i);
  }
}

// Rows [y, y + R) of one box row pass, from and to images.
template <int R>
void boxRowsAt(const Images& im, const FMParams& p, int gridW, int y, int len) {
  const float4* src[R];
  float4* dst[R];
  for (int r = 0; r < R; ++r) {
    src[r] = im.a + fm_idx(y + r) * p.aP;
    dst[r] = im.d + fm_idx(y + r) * p.dP;
  }
  boxRowGroup<R, true>(src, dst, p, gridW, len);
}

// fm_box_rows over rows [first, end), every row cut into segments as the work items cut it.
// Rows go in the largest group that shares a source length.
void runBoxRows(const CpuLaunch& l, int first, int end) {
  const Images im(l);
  const FMParams p = *l.p;
  const int last = std::min({end, p.y1, p.dH});
  for (int y = std::max(first, 0); y < last;) {
    const int len = y < p.aH ? p.aW : 0;
    int rows = 1;
    while (rows < kRowGroup && y + rows < last && (y + rows < p.aH ? p.aW : 0) == len) ++rows;
    if (rows >= 8) {
      boxRowsAt<8>(im, p, l.gridW, y, len);
      rows = 8;
    } else if (rows >= 4) {
      boxRowsAt<4>(im, p, l.gridW, y, len);
      rows = 4;
    } else if (rows >= 2) {
      boxRowsAt<2>(im, p, l.gridW, y, len);
      rows = 2;
    } else {
      boxRowsAt<1>(im, p, l.gridW, y, len);
    }
    y += rows;
  }
  streamFence();
}

// Scratch of a chain runner, released on every path.
struct ChainScratch {
  float4* data = nullptr;
  explicit ChainScratch(size_t pixels) {
    const size_t bytes = (pixels * sizeof(float4) + 63) / 64 * 64;
    data = static_cast<float4*>(std::aligned_alloc(64, bytes > 0 ? bytes : 64));
  }
  ~ChainScratch() { std::free(data); }
  ChainScratch(const ChainScratch&) = delete;
  ChainScratch& operator=(const ChainScratch&) = delete;
};

// Pixels [xa, xb) of rows [ya, yb) of an image of `pitch` pixels a row: zeros.
inline void clearPixels(float4* image, fm_idx pitch, int xa, int xb, int ya, int yb) {
  if (xa >= xb) return;
  for (int y = ya; y < yb; ++y)
    std::memset(static_cast<void*>(image + (fm_idx(y) * pitch + xa)), 0, size_t(xb - xa) * sizeof(float4));
}

// Rows [y, y + R) through every link of a row chain: the rows go from link to link in scratch
// that stays in the cache, and only the last link writes the destination.
template <int R>
void rowChainGroup(const CpuChain& c, int y, float4* scratch, int scratchPitch) {
  const float4* in[R];
  float4* out[R];
  for (int j = 0; j < c.count; ++j) {
    const CpuChainLink& k = c.links[j];
    const bool last = j == c.count - 1;
    for (int r = 0; r < R; ++r) {
      in[r] = j == 0 ? static_cast<const float4*>(c.src) + fm_idx(y + r) * k.p.aP
                     : scratch + fm_idx((((j - 1) & 1) * kChainRows + r)) * scratchPitch;
      out[r] = last ? static_cast<float4*>(c.dst) + fm_idx(y + r) * k.p.dP
                    : scratch + fm_idx(((j & 1) * kChainRows + r)) * scratchPitch;
    }
    if (k.kernel == FM_K_COPY) {
      const float4* a = static_cast<const float4*>(c.src);
      for (int r = 0; r < R; ++r)
        for (int x = 0; x < k.p.dW; ++x) {
          const float4 v = fm_copy_value(a, x, y + r, &k.p);
          if (last)
            put<true>(out[r] + x, v);
          else
            put<false>(out[r] + x, v);
        }
      continue;
    }
    const int len = y < k.p.aH ? k.p.aW : 0;
    if (last)
      boxRowGroup<R, true>(in, out, k.p, k.gridW, len);
    else
      boxRowGroup<R, false>(in, out, k.p, k.gridW, len);
  }
}

// A row chain over rows [first, end).
bool runRowChain(const CpuChain& c, int first, int end) {
  const FMParams& fin = c.links[c.count - 1].p;
  const int scratchPitch = (fin.dW + 3) / 4 * 4;
  ChainScratch scratch(size_t(2) * kChainRows * size_t(scratchPitch));
  if (!scratch.data) return false;
  const int stop = std::min(end, fin.dH);
  for (int y = std::max(first, 0); y < stop;) {
    // A group's rows share every link's source length.
    int rows = std::min(kChainRows, stop - y);
    for (int j = 0; j < c.count; ++j) {
      const int aH = c.links[j].p.aH;
      if (y < aH) rows = std::min(rows, aH - y);
    }
    if (rows >= 4) {
      rowChainGroup<4>(c, y, scratch.data, scratchPitch);
      rows = 4;
    } else if (rows >= 2) {
      rowChainGroup<2>(c, y, scratch.data, scratchPitch);
      rows = 2;
    } else {
      rowChainGroup<1>(c, y, scratch.data, scratchPitch);
    }
    y += rows;
  }
  streamFence();
  return true;
}

// ------------------------------------------------------------------ columns

// One box column pass sliding down a strip of columns, row by row. Its source is an image or
// the ring of rows that the link before it keeps; its rows go to the next link's ring, to a
// delay ring, or to the destination.
struct ColumnSlider {
  FMParams p;
  int segments = 0;
  int limit = 0;  // rows produced: those of the first `segments` segments
  int wlo = 0, whi = 0;
  float wInterior = 0.0f;
  int lowest = 0, highest = 0;  // read offsets
  float4* sum = nullptr;        // kStrip pixels
  // Where the source's rows are: an image (pitch in pixels) or a ring of `ringRows` rows.
  const float4* image = nullptr;
  const float4* ring = nullptr;
  int ringRows = 0;
  int next = 0;  // the next row to produce

  void init(const CpuChainLink& link, float4* sums) {
    p = link.p;
    segments = std::min(p.y1, link.gridH);
    limit = p.segLen > 0 ? int(std::min<int64_t>(p.dH, int64_t(segments) * p.segLen)) : 0;
    wlo = p.lo + p.n + 1;
    whi = p.hi - p.n - 1;
    wInterior = fm_box_weight(wlo, p.n, p.frac, p.mode, p.lo, p.hi);
    lowest = boxLowestRead(p.n);
    highest = boxHighestRead(p.n, p.frac);
    sum = sums;
    next = 0;
  }
  // Source row i, resolved by the edge rule; zeros where it reads nothing.
  const float4* row(int i) const {
    const int j = fm_ax_index(i, p.aH, p.mode, p.lo, p.hi);
    if (j < 0) return kZeroStrip;
    return image ? image + fm_idx(j) * p.aP : ring + fm_idx(j % ringRows) * kStrip;
  }
  // The highest source row that producing row i reads.
  int needs(int i) const { return std::min(i + highest, p.aH - 1); }

  // Row i into `out`; `w` columns, the first `inside` of them within the source.
  template <bool Stream>
  void produce(int i, float4* out, int w, int inside) {
    const int n = p.n;
    const float frac = p.frac;
    const int s0 = i / p.segLen * p.segLen;
    auto at = [&](const float4* r, int c) { return c < inside ? r[c] : f4z(); };
    if (i == s0) {
      for (int c = 0; c < w; ++c) sum[c] = f4z();
      // Columns past the source read nothing at all, so the source's own rows decide.
      const int k1 = fm_box_first_hi(s0, n, p.mode, fm_direct_hi(p.mode, p.hi, p.aH));
      for (int k = fm_box_first_lo(s0, n, p.mode, fm_direct_lo(p.mode, p.lo)); k <= k1; ++k) {
        const float4* r = row(s0 + k);
        for (int c = 0; c < w; ++c) sum[c] += at(r, c);
      }
    }
    if (image && i + n + kAhead < p.aH) {
      // Each row of a strip is a short run in a different page, which the hardware prefetcher
      // does not follow: ask for the rows a few steps ahead.
      const float4* ahead = row(i + n + kAhead);
      if (ahead != kZeroStrip)
        for (int c = 0; c < inside; c += 4) __builtin_prefetch(ahead + c);
    }
    const float weight = (p.mode != FM_EDGE_INSIDE || (i >= wlo && i < whi))
                             ? wInterior
                             : fm_box_weight(i, n, frac, p.mode, p.lo, p.hi);
    const float4* left = frac > 0.0f ? row(i - n - 1) : kZeroStrip;
    const float4* right = frac > 0.0f ? row(i + n + 1) : kZeroStrip;
    const bool advance = i > s0;
    const float4* add = advance ? row(i + n) : kZeroStrip;
    const float4* sub = advance ? row(i - n - 1) : kZeroStrip;
    auto single = [&](int c) {
      if (advance) {
        sum[c] += at(add, c);
        sum[c] -= at(sub, c);
      }
      put<Stream>(out + c, fm_box_apply(sum[c], at(left, c), at(right, c), frac, weight));
    };
    int c = 0;
    if (inside == w) {
      // Streamed wide stores want whole cache lines: single pixels first, up to a line's start.
      if (Stream)
        for (; c < w && (reinterpret_cast<uintptr_t>(out + c) & 63) != 0; ++c) single(c);
      const bool positive = weight > 0.0f;
      const float scale = positive ? 1.0f / weight : 0.0f;
      for (; c + 4 <= w; c += 4) {
        Wide s = wideAt(sum + c);
        if (advance) {
          s += wideAt(add + c);
          s -= wideAt(sub + c);
          std::memcpy(sum + c, &s, sizeof s);
        }
        Wide o = s;
        if (frac > 0.0f) o += (wideAt(left + c) + wideAt(right + c)) * frac;
        const Wide v = positive ? o * scale : Wide{};
        if (Stream)
          streamWide(out + c, v);
        else
          std::memcpy(out + c, &v, sizeof v);
      }
    }
    for (; c < w; ++c) single(c);
  }
};

// A column chain (one link or more) over the strips of columns [first, end). Each strip runs
// every link down its whole height before the next strip starts; link j is kept just far
// enough ahead of link j + 1 for the rows the latter reads. Where a plain copy ends the chain,
// the strips write the pixels it reads straight into its destination, and the chunks holding
// the first and the last column clear the destination's pixels that read outside the result.
bool runColumnChain(const CpuChain& c, int first, int end) {
  constexpr int kMaxLinks = kCpuChainMaxLinks;
  const bool tail = c.count > 1 && c.links[c.count - 1].kernel == FM_K_COPY;
  const int count = tail ? c.count - 1 : c.count;  // box links
  if (count < 1 || count > kMaxLinks) return false;
  ColumnSlider links[kMaxLinks];
  const CpuChainLink& fin = c.links[count - 1];
  // Rows of each link's ring: what the next link reads around one position, and one more.
  int ringRows[kMaxLinks] = {};
  size_t pixels = size_t(count + 1) * kStrip;  // a sum per link, and rows the copy does not read
  for (int j = 0; j + 1 < count; ++j) {
    const FMParams& q = c.links[j + 1].p;
    ringRows[j] = boxHighestRead(q.n, q.frac) - boxLowestRead(q.n) + 2;
    pixels += size_t(ringRows[j]) * kStrip;
  }
  // Where the destination is the source, a finished row waits until the first link has read
  // that row of the source for the last time.
  const bool inPlace = c.dst == c.src;
  const int delayRows = inPlace ? std::max(1, 2 - boxLowestRead(c.links[0].p.n)) : 0;
  pixels += size_t(delayRows) * kStrip;
  ChainScratch scratch(pixels);
  if (!scratch.data) return false;

  float4* cursor = scratch.data;
  for (int j = 0; j < count; ++j) {
    links[j].init(c.links[j], cursor);
    cursor += kStrip;
  }
  float4* rings[kMaxLinks] = {};
  for (int j = 0; j + 1 < count; ++j) {
    rings[j] = cursor;
    cursor += size_t(ringRows[j]) * kStrip;
    links[j + 1].ring = rings[j];
    links[j + 1].ringRows = ringRows[j];
  }
  float4* unread = cursor;
  cursor += kStrip;
  float4* delay = cursor;
  // The result's rows [ya, yb) and columns [xa, xb) go to `out`, a view of the destination.
  float4* dst = static_cast<float4*>(c.dst);
  int xa = 0, xb = fin.p.dW, ya = 0, yb = fin.p.dH;
  fm_idx dP = fin.p.dP;
  float4* out = dst;
  if (tail) {
    const FMParams& t = c.links[c.count - 1].p;
    xa = std::max(0, t.ax);
    xb = int(std::min<int64_t>(fin.p.dW, int64_t(t.ax) + t.dW));
    ya = std::max(0, t.ay);
    yb = int(std::min<int64_t>(fin.p.dH, int64_t(t.ay) + t.dH));
    dP = t.dP;
    out = dst - (fm_idx(t.ay) * dP + t.ax);
    // Left and right beside the result's rows, and whole rows above and below it.
    if (first <= 0) {
      clearPixels(dst, dP, 0, xa - t.ax, ya - t.ay, yb - t.ay);
      clearPixels(dst, dP, 0, t.dW, 0, ya - t.ay);
      clearPixels(dst, dP, 0, t.dW, yb - t.ay, t.dH);
    }
    if (end >= fin.p.dW) clearPixels(dst, dP, xb - t.ax, t.dW, ya - t.ay, yb - t.ay);
  }
  const int stop = std::min(end, xb);

  for (int x0 = std::max(first, xa); x0 < stop; x0 += kStrip) {
    const int w = std::min(kStrip, stop - x0);
    links[0].image = static_cast<const float4*>(c.src) + x0;
    for (int j = 0; j < count; ++j) links[j].next = 0;
    // Columns past a source read as transparent.
    auto insideOf = [&](int j) { return std::max(0, std::min(w, links[j].p.aW - x0)); };
    // Makes link j produce every row up to `row`, pulling the links before it along.
    auto advance = [&](auto& self, int j, int row) -> void {
      ColumnSlider& s = links[j];
      while (s.next <= row && s.next < s.limit) {
        if (j > 0) self(self, j - 1, s.needs(s.next));
        s.template produce<false>(s.next, rings[j] + fm_idx(s.next % ringRows[j]) * kStrip, w, insideOf(j));
        ++s.next;
      }
    };
    ColumnSlider& last = links[count - 1];
    int flushed = 0;
    auto flush = [&](int upTo) {
      for (; flushed < upTo; ++flushed) {
        const float4* from = delay + fm_idx(flushed % delayRows) * kStrip;
        float4* to = out + fm_idx(flushed) * dP + x0;
        for (int col = 0; col < w; ++col) streamStore(to + col, from[col]);
      }
    };
    for (int i = 0; i < std::min(last.limit, yb); ++i) {
      if (count > 1) advance(advance, count - 2, last.needs(i));
      if (i < ya) {
        last.produce<false>(i, unread, w, insideOf(count - 1));
        continue;
      }
      if (!inPlace) {
        last.produce<true>(i, out + fm_idx(i) * dP + x0, w, insideOf(count - 1));
        continue;
      }
      last.produce<false>(i, delay + fm_idx(i % delayRows) * kStrip, w, insideOf(count - 1));
      // The first link reads no source row below next + lowest again (none at all once done).
      const ColumnSlider& head = links[0];
      flush(head.next >= head.limit ? i + 1 : std::min(i + 1, head.next + head.lowest));
    }
    if (inPlace) flush(last.limit);
  }
  streamFence();
  return true;
}

// fm_box_cols over the strip of columns [first, end), all segments: reads memory row by row
// across the strip instead of walking one column at a time.
void runBoxCols(const CpuLaunch& l, int first, int end) {
  const CpuChainLink link{FM_K_BOX_COLS, l.gridW, l.gridH, *l.p};
  const CpuChain chain{&link, 1, l.srcA, l.dst};
  runColumnChain(chain, first, end);
}

}  // namespace special
