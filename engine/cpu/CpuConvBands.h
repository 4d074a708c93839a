// Band runners for the direct convolutions, part of the level body (CpuLevelBody.h). A tile of
// pixels is accumulated tap by tap, so source rows stream through the cache and no pixel waits
// on its own running sum; each pixel still sees exactly the additions, in the order, of the
// kernel's own work item.
#pragma once

namespace conv {

// The level's widest vector: FM_CPU_LANES floats, kVecPixels pixels.
typedef float Vec __attribute__((vector_size(4 * FM_CPU_LANES), aligned(16), may_alias));
constexpr int kVecPixels = FM_CPU_LANES / 4;

// One load of the whole vector. A memcpy from float4 pixels may be lowered as 16-byte copies
// through the stack, and a wide load of two narrow stores stalls where the processor cannot
// forward them.
typedef float VecIn __attribute__((vector_size(4 * FM_CPU_LANES), aligned(4), may_alias));
__attribute__((always_inline)) inline Vec vecAt(const float4* p) { return *reinterpret_cast<const VecIn*>(p); }

__attribute__((always_inline)) inline void streamVec(float4* d, Vec v) {
#if defined(FM_F4_NATIVE) && FM_CPU_LANES == 16
  if ((reinterpret_cast<uintptr_t>(d) & 63) == 0) return _mm512_stream_ps(reinterpret_cast<float*>(d), (__m512)v);
#elif defined(FM_F4_NATIVE) && FM_CPU_LANES == 8
  if ((reinterpret_cast<uintptr_t>(d) & 31) == 0) return _mm256_stream_ps(reinterpret_cast<float*>(d), (__m256)v);
#endif
  float4 h[kVecPixels];
  std::memcpy(h, &v, sizeof h);
  for (int k = 0; k < kVecPixels; ++k) streamStore(d + k, h[k]);
}

// A result vector: streamed past the cache, or kept in it for a pass that reads it next.
template <bool Stream>
__attribute__((always_inline)) inline void storeVec(float4* d, Vec v) {
  if (Stream) return streamVec(d, v);
  std::memcpy(d, &v, sizeof v);
}

// Asks for the cache lines of Bytes bytes from `at`, which the thread reads soon: a pass that
// reads its source a row at a time stalls at each row's start, where the processor's own
// prefetching has not yet followed the new row. Prefetches never fault, so `at` may lie past
// the image at its last rows. (A loop, not unrolled whole: that measured slower.) Locality 3
// brings the lines into L1, 2 only as far as L2.
template <int Bytes, int Locality = 3>
__attribute__((always_inline)) inline void prefetchLines(const void* at) {
#pragma GCC unroll 4
  for (int b = 0; b < Bytes; b += 64) __builtin_prefetch(static_cast<const char*>(at) + b, 0, Locality);
}

// Pixels whose sums a rows pass keeps in registers at once: independent chains, no spills.
constexpr int kGroupVecs = 4;
constexpr int kGroup = kGroupVecs * kVecPixels;

// The source pixels that a rows group's windows read, from the first window's first pixel: the
// group's and the 2n after them, so that a row's last pixels are asked for too. Loops whose
// window size is not fixed ask for those of the direct Gaussian's widest, 19 taps.
constexpr int windowBytes(int taps) { return (kGroup + taps - 1) * 16; }
constexpr int kAskedBytes = windowBytes(19);

// Output rows a column pass computes together, so that each source row is loaded once for all
// of them, and the vectors of a tile of each (as many as the registers hold without spilling).
constexpr int kColRows = 4;
constexpr int kTileVecs = FM_CPU_LANES >= 16 ? 4 : 2;

// Column passes: a strip of pixels gathers its sums in a small buffer, kTapBlock source rows at
// a time. Each source row then streams through the cache on its own, instead of 2n + 1 rows a
// multiple of 4 KiB apart competing for the same cache sets (a UHD row is 60 KiB).
constexpr int kStrip = 384;
constexpr int kTapBlock = 4;

// Where each tap of a row reads: tap k of output pixel x is a[offset[k] + x], or a transparent
// pixel where offset[k] is kNoRow (a column pass's tap past an edge that reads nothing).
constexpr fm_idx kNoRow = INT64_MIN;
alignas(64) const float kZeros[kStrip * 4] = {};

struct TapRows {
  const float4* a;
  fm_idx offset[FM_T_FLOATS];

  template <class V>
  __attribute__((always_inline)) const V* at(int k, int x) const {
    return offset[k] == kNoRow ? reinterpret_cast<const V*>(kZeros)
                               : reinterpret_cast<const V*>(a + (offset[k] + x));
  }
};

// Adds taps [k0, k0 + count) of a strip of `pairs` pixel pairs starting at x to `acc`, in tap
// order. The first block starts from zero, as the kernel's sum does; the last one stores the
// results.
template <int Count, bool First, bool Last>
__attribute__((always_inline)) inline void addTaps(Pair* acc, int pairs, const TapRows& rows, int x, int k0,
                                                   const float* t, float4* out) {
  const Pair* src[Count];
  Pair taps[Count];
  for (int j = 0; j < Count; ++j) {
    src[j] = rows.at<Pair>(k0 + j, x);
    taps[j] = splat<Pair>(t[k0 + j]);
  }
  for (int c = 0; c < pairs; ++c) {
    Pair sum = First ? Pair{} : acc[c];
#pragma GCC unroll 8
    for (int j = 0; j < Count; ++j) sum += src[j][c] * taps[j];
    if (Last) {
      const float4* two = reinterpret_cast<const float4*>(&sum);
      streamStore(out + 2 * c, two[0]);
      streamStore(out + 2 * c + 1, two[1]);
    } else {
      acc[c] = sum;
    }
  }
}

template <bool First>
__attribute__((always_inline)) inline void lastTaps(int count, Pair* acc, int pairs, const TapRows& rows, int x,
                                                    int k0, const float* t, float4* out) {
  switch (count) {
    case 1: return addTaps<1, First, true>(acc, pairs, rows, x, k0, t, out);
    case 2: return addTaps<2, First, true>(acc, pairs, rows, x, k0, t, out);
    case 3: return addTaps<3, First, true>(acc, pairs, rows, x, k0, t, out);
    default: return addTaps<4, First, true>(acc, pairs, rows, x, k0, t, out);
  }
}

// Output pixels [x, x + 2 pairs) of one row of a column pass. `ahead`, when not null, is a
// source row that the next rows will need first: it is read from memory, where the rows
// already in use come from the cache, so it is asked for early.
__attribute__((always_inline)) inline void convColsStrip(int x, int pairs, const TapRows& rows, int n,
                                                         const float* t, const float4* ahead, float4* out) {
  static_assert(kTapBlock == 4, "lastTaps covers blocks of up to four taps");
  if (ahead) {
    const char* line = reinterpret_cast<const char*>(ahead + x);
    for (int b = 0; b < pairs * 32; b += 64) __builtin_prefetch(line + b, 0, 2);
  }
  alignas(64) Pair acc[kStrip / 2];
  const int taps = 2 * n + 1;
  if (taps <= kTapBlock) return lastTaps<true>(taps, acc, pairs, rows, x, 0, t, out + x);
  addTaps<kTapBlock, true, false>(acc, pairs, rows, x, 0, t, out + x);
  int k0 = kTapBlock;
  for (; taps - k0 > kTapBlock; k0 += kTapBlock)
    addTaps<kTapBlock, false, false>(acc, pairs, rows, x, k0, t, out + x);
  lastTaps<false>(taps - k0, acc, pairs, rows, x, k0, t, out + x);
}

// Pixels [x0, x1) of one row of a column pass. Successive rows on one thread share all but a
// few source rows; walking the strips in alternate directions starts each row where the
// previous one left its source rows in the cache.
__attribute__((always_inline)) inline int convColsInterior(int x0, int x1, const TapRows& rows, int n,
                                                           const float* t, const float4* ahead, float4* out) {
  const int pairs = (x1 - x0) / 2;
  const int strips = (pairs + kStrip / 2 - 1) / (kStrip / 2);
  static thread_local bool backwards = false;
  backwards = !backwards;
  for (int i = 0; i < strips; ++i) {
    const int s = backwards ? strips - 1 - i : i;
    const int first = s * (kStrip / 2);
    convColsStrip(x0 + 2 * first, std::min(kStrip / 2, pairs - first), rows, n, t, ahead, out);
  }
  return x0 + 2 * pairs;
}

// G groups of kGroup pixels of a rows pass, side by side, whose windows lie inside the row, `src`
// the first pixel of the first window: each vector loaded serves every sum of its group that
// reads it, each tap loaded serves all G groups (where the taps cannot stay in registers for a
// whole run, the tap loads would otherwise bound the pass), and each sum still adds its taps in
// order from zero. Needs 2n + 1 >= 3 kVecPixels.
template <int G, bool Stream>
__attribute__((always_inline)) inline void convRowsGroups(float4* out, const float4* src, int n, const float* t) {
  static_assert(kGroupVecs == 4, "the ramps below are written for groups of four vectors");
  constexpr int P = kVecPixels;
  const int taps = 2 * n + 1;
  Vec acc[G][kGroupVecs] = {};
  // Window offset j adds to the sums of group vectors [first, last]: vector c's pixels are
  // P * c further along, so it takes that vector as tap j - that.
  auto add = [&](int j, int first, int last) __attribute__((always_inline)) {
    Vec in[G];
    for (int g = 0; g < G; ++g) in[g] = vecAt(src + g * kGroup + j);
#pragma GCC unroll 4
    for (int c = first; c <= last; ++c) {
      const Vec tap = splat<Vec>(t[j - c * P]);
      for (int g = 0; g < G; ++g) acc[g][c] += in[g] * tap;
    }
  };
  int j = 0;
  for (; j < P; ++j) add(j, 0, 0);
  for (; j < 2 * P; ++j) add(j, 0, 1);
  for (; j < 3 * P; ++j) add(j, 0, 2);
  for (; j < taps; ++j) add(j, 0, 3);
  for (; j < taps + P; ++j) add(j, 1, 3);
  for (; j < taps + 2 * P; ++j) add(j, 2, 3);
  for (; j < taps + 3 * P; ++j) add(j, 3, 3);
  for (int g = 0; g < G; ++g)
#pragma GCC unroll 4
    for (int c = 0; c < kGroupVecs; ++c) storeVec<Stream>(out + g * kGroup + c * P, acc[g][c]);
}

#if FM_CPU_LANES == 16
// Taps held in registers for a whole run of groups (the other way, every multiply loads its
// tap again, and the loads bound the pass): as convRowsGroups, for Taps = 2n + 1 known here.
template <int Taps, bool Stream>
__attribute__((always_inline)) inline void convRowsRun(float4* out, const float4* src, int groups, const float* t,
                                                       fm_idx ahead) {
  constexpr int P = kVecPixels;
  static_assert(Taps >= 3 * P, "every vector of the group takes a tap from each window position");
  Vec tap[Taps];
  for (int k = 0; k < Taps; ++k) tap[k] = splat<Vec>(t[k]);
  for (int g = 0; g < groups; ++g, out += kGroup, src += kGroup) {
    if (ahead) prefetchLines<windowBytes(Taps)>(src + ahead);
    Vec acc[kGroupVecs] = {};
#pragma GCC unroll 64
    for (int j = 0; j < Taps + 3 * P; ++j) {
      const Vec in = vecAt(src + j);
#pragma GCC unroll 4
      for (int c = 0; c < kGroupVecs; ++c) {
        const int k = j - c * P;
        if (k >= 0 && k < Taps) acc[c] += in * tap[k];
      }
    }
#pragma GCC unroll 4
    for (int c = 0; c < kGroupVecs; ++c) storeVec<Stream>(out + c * P, acc[c]);
  }
}

#if defined(FM_F4_NATIVE)
// The same sums from aligned loads. Three in four of the group's windows start inside a cache
// line, and the loads that split lines, not the arithmetic, would bound the run; here each
// window is two aligned vectors shifted together (source pixel M of the first line starts the
// group's first window).
template <int Taps, int M, int J>
__attribute__((always_inline)) inline void addAlignedWindow(Vec (&acc)[kGroupVecs], const float* line,
                                                            const Vec (&tap)[Taps]) {
  constexpr int at = J + M, q = at / 4, r = at % 4;
  Vec in;
  if constexpr (r == 0) {
    in = (Vec)_mm512_load_ps(line + 16 * q);
  } else {
    // The zero-masked form with every lane kept: the plain one trips GCC 12's uninitialised
    // value warning inside its own header.
    in = (Vec)_mm512_maskz_alignr_epi32(__mmask16(0xFFFF), _mm512_castps_si512(_mm512_load_ps(line + 16 * (q + 1))),
                                        _mm512_castps_si512(_mm512_load_ps(line + 16 * q)), 4 * r);
  }
#pragma GCC unroll 4
  for (int c = 0; c < kGroupVecs; ++c) {
    const int k = J - c * kVecPixels;
    if (k >= 0 && k < Taps) acc[c] += in * tap[k];
  }
}

template <int Taps, int M, bool Stream, int... J>
__attribute__((always_inline)) inline void convRowsAligned(float4* out, const float* line, int groups,
                                                           const Vec (&tap)[Taps], fm_idx ahead,
                                                           std::integer_sequence<int, J...>) {
  for (int g = 0; g < groups; ++g, out += kGroup, line += 4 * kGroup) {
    if (ahead) prefetchLines<windowBytes(Taps)>(line + 4 * ahead);
    Vec acc[kGroupVecs] = {};
    (addAlignedWindow<Taps, M, J>(acc, line, tap), ...);
#pragma GCC unroll 4
    for (int c = 0; c < kGroupVecs; ++c) storeVec<Stream>(out + c * kVecPixels, acc[c]);
  }
}

// Groups [0, groups) of a run whose windows read row pixels from `src`, the row's pixels lying
// in [begin, end): as many as can through aligned loads, which read up to three pixels before
// and after the windows and so must stay within the row, the others as convRowsRun.
template <int Taps, bool Stream>
__attribute__((always_inline)) inline void convRowsLines(float4* out, const float4* src, int groups, const float* t,
                                                         const float4* begin, const float4* end, fm_idx ahead) {
  constexpr int P = kVecPixels, kWindows = Taps + 3 * P;
  const int m = int((reinterpret_cast<uintptr_t>(src) >> 4) & 3);
  const float4* first = src - m;  // the aligned vector holding the first window's first pixel
  int g0 = first < begin ? 1 : 0;
  // Aligned vectors a group reads: through the one holding its last window's last pixel.
  const int reach = 4 * ((m + kWindows + P - 2) / P + 1);
  const int64_t fit = end - first - reach;
  g0 = std::min(g0, groups);
  const int g1 = int(std::max<int64_t>(g0, std::min<int64_t>(groups, fit < 0 ? 0 : fit / kGroup + 1)));
  if (g0 > 0) convRowsRun<Taps, Stream>(out, src, g0, t, ahead);
  Vec tap[Taps];
  for (int k = 0; k < Taps; ++k) tap[k] = splat<Vec>(t[k]);
  const float* line = reinterpret_cast<const float*>(first + fm_idx(g0) * kGroup);
  using Windows = std::make_integer_sequence<int, kWindows>;
  float4* o = out + fm_idx(g0) * kGroup;
  switch (m) {
    case 0: convRowsAligned<Taps, 0, Stream>(o, line, g1 - g0, tap, ahead, Windows{}); break;
    case 1: convRowsAligned<Taps, 1, Stream>(o, line, g1 - g0, tap, ahead, Windows{}); break;
    case 2: convRowsAligned<Taps, 2, Stream>(o, line, g1 - g0, tap, ahead, Windows{}); break;
    default: convRowsAligned<Taps, 3, Stream>(o, line, g1 - g0, tap, ahead, Windows{}); break;
  }
  if (g1 < groups)
    convRowsRun<Taps, Stream>(out + fm_idx(g1) * kGroup, src + fm_idx(g1) * kGroup, groups - g1, t, ahead);
}
#define FM_CONV_ROWS_RUN convRowsLines
#else
#define FM_CONV_ROWS_RUN(out, src, groups, t, begin, end, ahead) convRowsRun(out, src, groups, t, ahead)
#endif

// The runs for the window sizes of the direct Gaussian (n 6 to 9) whose taps, sums and input
// fit the 32 vector registers, for `groups` groups from `src` in a row whose pixels lie in
// [begin, end), asking for the pixels `ahead` further on as it goes; false for other sizes.
template <bool Stream>
inline bool convRowsFixed(float4* out, const float4* src, int groups, int n, const float* t, const float4* begin,
                          const float4* end, fm_idx ahead) {
  switch (2 * n + 1) {
    case 13: return FM_CONV_ROWS_RUN<13, Stream>(out, src, groups, t, begin, end, ahead), true;
    case 15: return FM_CONV_ROWS_RUN<15, Stream>(out, src, groups, t, begin, end, ahead), true;
    case 17: return FM_CONV_ROWS_RUN<17, Stream>(out, src, groups, t, begin, end, ahead), true;
    case 19: return FM_CONV_ROWS_RUN<19, Stream>(out, src, groups, t, begin, end, ahead), true;
    default: return false;
  }
}
#undef FM_CONV_ROWS_RUN
#else
template <bool Stream>
inline bool convRowsFixed(float4*, const float4*, int, int, const float*, const float4*, const float4*, fm_idx) {
  return false;
}
#endif

// Pixels [xa, xb) of row y of a rows pass whose window crosses an edge of the valid range. The
// pixels their taps read, edge rule applied, are gathered once into a padded run, where the
// kernel would apply the rule to every tap of every pixel; each sum sees the same values in
// the same order.
__attribute__((always_inline)) inline void convRowsEdge(int xa, int xb, int y, const float4* a, float4* out, int n,
                                                        const FMParams& p) {
  constexpr int kRun = 64;
  float4 pad[kRun + 2 * FM_CONV_MAX_N];
  const int len = y < p.aH ? p.aW : 0;
  const fm_idx base = fm_idx(y) * p.aP;
  for (int x = xa; x < xb; x += kRun) {
    const int m = std::min(kRun, xb - x);
    for (int i = 0; i < m + 2 * n; ++i) pad[i] = fm_axv(a, base, 1, x - n + i, len, p.mode, p.lo, p.hi);
    int c = 0;
    for (; c + kVecPixels <= m; c += kVecPixels) {
      Vec acc = {};
      for (int k = 0; k <= 2 * n; ++k) acc += vecAt(pad + c + k) * splat<Vec>(p.t[k]);
      storeVec<false>(out + x + c, acc);
    }
    for (; c < m; ++c) {
      float4 acc = f4z();
      for (int k = 0; k <= 2 * n; ++k) acc += pad[c + k] * p.t[k];
      out[x + c] = acc;
    }
  }
}

// The sum the kernel's own work item gives pixel x of row y: what the fast loops cannot give
// (no taps at all, or columns past the source) is taken from here.
template <bool Rows>
__attribute__((always_inline)) inline float4 convItem(int x, int y, int n, const float4* a,
                                                      const FMParams& p) {
  if (Rows) return fm_conv_at(a, fm_idx(y) * p.aP, 1, x, y < p.aH ? p.aW : 0, n, &p);
  return fm_conv_at(a, x, p.aP, y, x < p.aW ? p.aH : 0, n, &p);
}

// Pixels [xb, xe) of one row of a pass, xe within the grid and the destination. The fast loops
// take pixels [x0, x1): for a rows pass those whose whole window lies inside the row, the
// others reading a padded run; for a column pass every column of the source, near the top and
// bottom edges too, where each tap reads one whole source row or nothing, as the kernel's edge
// rule decides for that row. Columns past the source take the work item's own sum. Stream:
// the results go past the cache. `next`, for a rows pass whose source is not in the cache: how
// many pixels on a row the thread reads soon starts, asked for as this one is read.
template <bool Rows, bool Stream = true>
__attribute__((always_inline)) inline void convRow(int y, int xb, int xe, float4* d, const float4* a,
                                                   const FMParams& p, fm_idx next = 0) {
  const int n = fm_mini(p.n, FM_CONV_MAX_N);
  float4* out = d + fm_idx(y) * p.dP;
  TapRows rows;
  rows.a = a;
  int x0 = 0, x1 = 0;
  bool interior = false;
  if (Rows) {
    const int len = y < p.aH ? p.aW : 0;
    // In 64 bits: the block's valid range may lie anywhere.
    const int64_t lo = int64_t(fm_direct_lo(p.mode, p.lo)) + n;
    const int64_t hi = int64_t(fm_direct_hi(p.mode, p.hi, len)) - n;
    x0 = int(std::min<int64_t>(std::max<int64_t>(xb, lo), xe));
    x1 = int(std::max<int64_t>(std::min<int64_t>(xe, hi), x0));
    for (int k = 0; k <= 2 * n; ++k) rows.offset[k] = fm_idx(y) * p.aP + (k - n);
  } else {
    interior = y - n >= fm_direct_lo(p.mode, p.lo) && y + n < fm_direct_hi(p.mode, p.hi, p.aH);
    x0 = xb;
    x1 = std::min(xe, p.aW);  // columns past the source have no pixels to read
    for (int k = 0; k <= 2 * n; ++k) {
      const int j = fm_ax_index(y - n + k, p.aH, p.mode, p.lo, p.hi);
      rows.offset[k] = j < 0 ? kNoRow : fm_idx(j) * p.aP;
    }
  }
  if (x1 < x0) x1 = x0;
  if (Rows) {
    convRowsEdge(xb, x0, y, a, out, n, p);
    convRowsEdge(x1, xe, y, a, out, n, p);
  }
  // Two rows past the window: with rows handed out in turn, the next row of this thread.
  const float4* ahead = interior && y + n + 2 < p.aH ? a + fm_idx(y + n + 2) * p.aP : nullptr;
  int x = Rows ? x0 : convColsInterior(x0, x1, rows, n, p.t, ahead, out);
  // Groups store whole cache lines, streamed past the cache: a few single pixels first bring
  // them onto a line's start.
  if (Stream && Rows && x1 - x >= 2 * kGroup)
    for (; x < x1 && (reinterpret_cast<uintptr_t>(out + x) & 63) != 0; ++x) {
      float4 acc = f4z();
      for (int k = 0; k <= 2 * n; ++k) acc += *rows.at<float4>(k, x) * p.t[k];
      out[x] = acc;
    }
  const float4* rowBegin = a + fm_idx(y) * p.aP;
  const float4* window = rowBegin - n;  // for a rows pass, the first window's first pixel
  if (Rows && convRowsFixed<Stream>(out + x, window + x, (x1 - x) / kGroup, n, p.t, rowBegin,
                                    rowBegin + (y < p.aH ? p.aW : 0), next))
    x += (x1 - x) / kGroup * kGroup;
  if (Rows && 2 * n + 1 >= 3 * kVecPixels) {
    for (; x + 2 * kGroup <= x1; x += 2 * kGroup) {
      if (next) prefetchLines<2 * kAskedBytes>(window + x + next);
      convRowsGroups<2, Stream>(out + x, window + x, n, p.t);
    }
    if (x + kGroup <= x1) {
      if (next) prefetchLines<kAskedBytes>(window + x + next);
      convRowsGroups<1, Stream>(out + x, window + x, n, p.t);
      x += kGroup;
    }
  }
  for (; x + kGroup <= x1; x += kGroup) {
    if (Rows && next) prefetchLines<kAskedBytes>(window + x + next);
    Vec acc[kGroupVecs] = {};
    for (int k = 0; k <= 2 * n; ++k) {
      const Vec taps = splat<Vec>(p.t[k]);
      const float4* px = rows.at<float4>(k, x);
#pragma GCC unroll 4
      for (int c = 0; c < kGroupVecs; ++c) acc[c] += vecAt(px + c * kVecPixels) * taps;
    }
#pragma GCC unroll 4
    for (int c = 0; c < kGroupVecs; ++c) storeVec<Stream>(out + x + c * kVecPixels, acc[c]);
  }
  if (Rows)
    for (; x + kVecPixels <= x1; x += kVecPixels) {
      Vec acc = {};
      for (int k = 0; k <= 2 * n; ++k) acc += vecAt(window + x + k) * splat<Vec>(p.t[k]);
      storeVec<Stream>(out + x, acc);
    }
  for (; x < x1; ++x) {
    float4 acc = f4z();
    for (int k = 0; k <= 2 * n; ++k) acc += *rows.at<float4>(k, x) * p.t[k];
    out[x] = acc;
  }
  // Columns past the source: the kernel's edge rule gives them nothing to read.
  if (!Rows)
    for (x = std::max(x1, xb); x < xe; ++x) out[x] = convItem<Rows>(x, y, n, a, p);
}

// One source row's share of a tile: what it adds to output rows [First, Last] of a group, to
// each with its own tap (row i of the group takes tap r - i).
template <int First, int Last>
__attribute__((always_inline)) inline void addSourceRow(Vec (&acc)[kColRows][kTileVecs], const float4* src, int r,
                                                        const float* t) {
  Vec in[kTileVecs];
#pragma GCC unroll 4
  for (int v = 0; v < kTileVecs; ++v) in[v] = vecAt(src + v * kVecPixels);
#pragma GCC unroll 4
  for (int i = First; i <= Last; ++i) {
    const Vec tap = splat<Vec>(t[r - i]);
#pragma GCC unroll 4
    for (int v = 0; v < kTileVecs; ++v) acc[i][v] += in[v] * tap;
  }
}

// Tiles [x0, x1) of output rows [y, y + kColRows) of a column pass whose taps all read their
// own source row: each source row is loaded once for every output row it serves, and each
// output row still adds its taps in order, starting from zero. Fetch: the source is in memory,
// and the rows the next group adds are asked for as this one is computed.
__attribute__((always_inline)) inline void convColsRows(int y, int x0, int x1, const float4* a, float4* d,
                                                        const FMParams& p, int n, bool fetch) {
  static_assert(kColRows == 4, "the ramps below are written for groups of four rows");
  constexpr int kTile = kTileVecs * kVecPixels;
  const int taps = 2 * n + 1;
  const fm_idx aP = p.aP;
  for (int x = x0; x + kTile <= x1; x += kTile) {
    Vec acc[kColRows][kTileVecs] = {};
    const float4* src = a + fm_idx(y - n) * aP + x;
    // Into L2 only: these rows are wanted a whole strip later, and in L1 they would evict source
    // rows this strip still reads.
    if (fetch)
#pragma GCC unroll 4
      for (int i = 0; i < kColRows; ++i) prefetchLines<kTile * 16, 2>(src + (taps + kColRows - 1 + i) * aP);
    // Source row r serves output rows max(0, r - taps + 1) .. min(3, r).
    if (taps >= kColRows) {
      addSourceRow<0, 0>(acc, src, 0, p.t);
      addSourceRow<0, 1>(acc, src + aP, 1, p.t);
      addSourceRow<0, 2>(acc, src + 2 * aP, 2, p.t);
      int r = 3;
      for (; r < taps; ++r) addSourceRow<0, 3>(acc, src + r * aP, r, p.t);
      addSourceRow<1, 3>(acc, src + r * aP, r, p.t);
      addSourceRow<2, 3>(acc, src + (r + 1) * aP, r + 1, p.t);
      addSourceRow<3, 3>(acc, src + (r + 2) * aP, r + 2, p.t);
    } else {
      for (int r = 0; r < taps + kColRows - 1; ++r) {
        Vec in[kTileVecs];
        for (int v = 0; v < kTileVecs; ++v) in[v] = vecAt(src + r * aP + v * kVecPixels);
        for (int i = 0; i < kColRows; ++i) {
          if (r - i < 0 || r - i >= taps) continue;
          const Vec tap = splat<Vec>(p.t[r - i]);
          for (int v = 0; v < kTileVecs; ++v) acc[i][v] += in[v] * tap;
        }
      }
    }
#pragma GCC unroll 4
    for (int i = 0; i < kColRows; ++i)
#pragma GCC unroll 4
      for (int v = 0; v < kTileVecs; ++v) streamVec(d + fm_idx(y + i) * p.dP + x + v * kVecPixels, acc[i][v]);
  }
}

// Pixels [xb, xe) of rows [ya, yb) of a column pass, a multiple of kColRows whose taps all
// read their own source row: in strips of columns narrow enough that the source rows a
// strip's groups share stay in the cache from one group to the next. Columns past the last
// whole tile, and past the source, take the work item's own sum.
__attribute__((always_inline)) inline void convColsBlock(int ya, int yb, int xb, int xe, const float4* a,
                                                         float4* d, const FMParams& p, int n, bool fetch) {
  constexpr int kTile = kTileVecs * kVecPixels;
  const int x1 = std::max(xb, std::min(xe, p.aW));
  const int tiled = x1 - (x1 - xb) % kTile;
  for (int xs = xb; xs < tiled; xs += kStrip) {
    const int xe = std::min(xs + kStrip, tiled);
    for (int y = ya; y < yb; y += kColRows) convColsRows(y, xs, xe, a, d, p, n, fetch);
  }
  for (int y = ya; y < yb; ++y) {
    float4* out = d + fm_idx(y) * p.dP;
    for (int x = tiled; x < xe; ++x) out[x] = convItem<false>(x, y, n, a, p);
  }
}

// Pixels [xb, xe) of rows [ya, yb) of a column pass, both ranges within its grid and
// destination: the rows whose every tap reads inside the source go in groups. Fetch: as for
// convColsRows.
__attribute__((always_inline)) inline void convColsRange(int ya, int yb, int xb, int xe, float4* d,
                                                         const float4* a, const FMParams& p, bool fetch) {
  // A negative radius has no taps, where the fast loops assume at least one.
  const int n = fm_mini(p.n, FM_CONV_MAX_N);
  int ga = 0, gb = 0;
  if (n >= 0) {
    const int64_t lo = std::max<int64_t>(ya, int64_t(fm_direct_lo(p.mode, p.lo)) + n);
    const int64_t hi = std::min<int64_t>(yb, int64_t(fm_direct_hi(p.mode, p.hi, p.aH)) - n);
    if (hi - lo >= kColRows) {
      ga = int(lo);
      gb = int(lo + (hi - lo) / kColRows * kColRows);
      convColsBlock(ga, gb, xb, xe, a, d, p, n, fetch);
    }
  }
  for (int y = ya; y < yb; ++y) {
    if (y >= ga && y < gb) continue;
    if (n >= 0) {
      convRow<false>(y, xb, xe, d, a, p);
    } else {
      float4* out = d + fm_idx(y) * p.dP;
      for (int x = xb; x < xe; ++x) out[x] = convItem<false>(x, y, n, a, p);
    }
  }
}

template <bool Rows>
__attribute__((always_inline)) inline void convBand(int gridW, int first, int end, void* dst, const void* srcA,
                                                    const FMParams& block) {
  const FMParams p = block;  // keeps the fields in registers across pixel stores
  float4* d = static_cast<float4*>(dst);
  const float4* a = static_cast<const float4*>(srcA);
  const int width = std::min(gridW, p.dW);
  const int ya = std::max(0, p.y0 + first), yb = std::min({p.y0 + end, p.y1, p.dH});
  if (!Rows) {
    convColsRange(ya, yb, 0, width, d, a, p, true);
  } else if (p.n >= 0) {
    // Asked for two rows on: one row on measured slower, the hardware then still waiting.
    for (int y = ya; y < yb; ++y) convRow<true>(y, 0, width, d, a, p, 2 * p.aP);
  } else {
    for (int y = ya; y < yb; ++y)
      for (int x = 0; x < width; ++x) d[fm_idx(y) * p.dP + x] = convItem<true>(x, y, p.n, a, p);
  }
  streamFence();
}

void runConvRowsBand(int gridW, int first, int end, void* dst, const void* srcA, const void*, const void*,
                     const FMParams& p) {
  convBand<true>(gridW, first, end, dst, srcA, p);
}

void runConvColsBand(int gridW, int first, int end, void* dst, const void* srcA, const void*, const void*,
                     const FMParams& p) {
  convBand<false>(gridW, first, end, dst, srcA, p);
}

}  // namespace conv
