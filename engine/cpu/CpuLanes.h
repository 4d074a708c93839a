// One float (or int) per pixel in each lane of the level's widest vector: 4 lanes at the
// baseline, 8 with AVX2, 16 with AVX-512 (the lane count names the level: target options do
// not define the instruction-set macros). Part of the level body (CpuLevelBody.h). Runners that
// take several pixels per vector use only these operations, each of which rounds every lane
// exactly as the kernel's scalar operation of the same name (fm_minf, fm_floorf, ...) does.
#pragma once

constexpr int kLanes = FM_CPU_LANES;
typedef float Lf __attribute__((vector_size(4 * FM_CPU_LANES)));
typedef int Li __attribute__((vector_size(4 * FM_CPU_LANES)));

#define FM_LANE_FN __attribute__((always_inline)) inline

// The same bits as another vector type (the instruction-set intrinsics' own).
template <class To, class From>
FM_LANE_FN To as(From v) {
  static_assert(sizeof(To) == sizeof(From), "same width");
  To t;
  std::memcpy(&t, &v, sizeof t);
  return t;
}

// t in every lane of any float vector, -0 included: V{} + t would add zero to t first (one more
// operation for the adders, and +0 where the kernel keeps -0). t - 0 is exact, so nothing is left
// of the subtraction.
template <class V>
FM_LANE_FN V splat(float t) {
  return t - V{};
}

FM_LANE_FN Lf lf(float v) { return splat<Lf>(v); }
FM_LANE_FN Li li(int v) { return Li{} + v; }

// 0, 1, 2, ... kLanes - 1.
FM_LANE_FN Li laneIndex() {
  Li v;
  for (int i = 0; i < kLanes; ++i) v[i] = i;
  return v;
}

// Masks are lanes of all ones (true) or zeros, as vector comparisons give them.
FM_LANE_FN Lf select(Li m, Lf a, Lf b) { return m ? a : b; }
FM_LANE_FN Li select(Li m, Li a, Li b) { return m ? a : b; }

// Bit i set where lane i of m is.
FM_LANE_FN unsigned laneMask(Li m) {
#if FM_CPU_LANES == 16
  return _mm512_test_epi32_mask(as<__m512i>(m), as<__m512i>(m));
#elif FM_CPU_LANES == 8
  return unsigned(_mm256_movemask_ps(as<__m256>(m)));
#elif FM_CPU_LANES == 4 && defined(__SSE2__)
  return unsigned(_mm_movemask_ps(as<__m128>(m)));
#else
  unsigned bits = 0;
  for (int i = 0; i < kLanes; ++i) bits |= m[i] ? 1u << i : 0u;
  return bits;
#endif
}
FM_LANE_FN bool anyLane(Li m) { return laneMask(m) != 0; }
FM_LANE_FN bool allLanes(Li m) { return !anyLane(~m); }

FM_LANE_FN Lf lsqrt(Lf x) {
#if FM_CPU_LANES == 16
  // The masked forms start from zeros where the plain ones start from an undefined register,
  // which the compiler's uninitialised-use check flags.
  return as<Lf>(_mm512_maskz_sqrt_ps(0xffff, as<__m512>(x)));
#elif FM_CPU_LANES == 8
  return as<Lf>(_mm256_sqrt_ps(as<__m256>(x)));
#elif FM_CPU_LANES == 4 && defined(__SSE2__)
  return as<Lf>(_mm_sqrt_ps(as<__m128>(x)));
#else
  for (int i = 0; i < kLanes; ++i) x[i] = fm_sqrtf(x[i]);
  return x;
#endif
}

// The kernels' fm_minf, fm_maxf and fm_clampf, NaN rules included.
FM_LANE_FN Lf lmin(Lf a, Lf b) { return select((a < b) | (b != b), a, b); }
FM_LANE_FN Lf lmax(Lf a, Lf b) { return select((a > b) | (b != b), a, b); }
FM_LANE_FN Lf lclamp(Lf v, Lf lo, Lf hi) { return select(v < lo, lo, select(v > hi, hi, v)); }
FM_LANE_FN Lf labs(Lf x) {
  Li bits;
  std::memcpy(&bits, &x, sizeof x);
  bits &= 0x7fffffff;
  std::memcpy(&x, &bits, sizeof x);
  return x;
}
FM_LANE_FN Li lmini(Li a, Li b) { return select(a < b, a, b); }
FM_LANE_FN Li lmaxi(Li a, Li b) { return select(a > b, a, b); }

// fm_finite: neither infinite nor NaN.
FM_LANE_FN Li finite(Lf x) {
  Li bits;
  std::memcpy(&bits, &x, sizeof x);
  return (bits & 0x7f800000) != 0x7f800000;
}

// (int)x and (float)i as the kernels convert, lane by lane (out-of-range values convert as
// the scalar conversion instruction converts them).
FM_LANE_FN Li truncInt(Lf x) { return __builtin_convertvector(x, Li); }
FM_LANE_FN Lf toFloat(Li i) { return __builtin_convertvector(i, Lf); }

// fm_floorf, the sign of zero and non-finite values included.
FM_LANE_FN Lf lfloor(Lf x) {
#if FM_CPU_LANES == 16
  return as<Lf>(_mm512_maskz_roundscale_ps(0xffff, as<__m512>(x), _MM_FROUND_TO_NEG_INF));
#elif FM_CPU_LANES == 8
  return as<Lf>(_mm256_round_ps(as<__m256>(x), _MM_FROUND_TO_NEG_INF));
#else
  // Below 2^23 in magnitude a float has a fraction; truncation then corrects downwards.
  const Lf t = toFloat(truncInt(x));
  const Lf f = select(t > x, t - 1.0f, t);
  return select((labs(x) < 8388608.0f) & (x != 0.0f), f, x);
#endif
}

// base[index] in every lane; indices count floats from base.
FM_LANE_FN Lf gather(const float* base, Li index) {
#if FM_CPU_LANES == 16
  return as<Lf>(_mm512_mask_i32gather_ps(_mm512_setzero_ps(), 0xffff, as<__m512i>(index), base, 4));
#elif FM_CPU_LANES == 8
  // Single loads: the AVX2 gather is microcoded, and slower than these on several processors.
  const __m256i at = as<__m256i>(index);
  const __m128i lo = _mm256_castsi256_si128(at), hi = _mm256_extracti128_si256(at, 1);
  __m128 a = _mm_load_ss(base + _mm_cvtsi128_si32(lo));
  a = _mm_insert_ps(a, _mm_load_ss(base + _mm_extract_epi32(lo, 1)), 0x10);
  a = _mm_insert_ps(a, _mm_load_ss(base + _mm_extract_epi32(lo, 2)), 0x20);
  a = _mm_insert_ps(a, _mm_load_ss(base + _mm_extract_epi32(lo, 3)), 0x30);
  __m128 b = _mm_load_ss(base + _mm_cvtsi128_si32(hi));
  b = _mm_insert_ps(b, _mm_load_ss(base + _mm_extract_epi32(hi, 1)), 0x10);
  b = _mm_insert_ps(b, _mm_load_ss(base + _mm_extract_epi32(hi, 2)), 0x20);
  b = _mm_insert_ps(b, _mm_load_ss(base + _mm_extract_epi32(hi, 3)), 0x30);
  return as<Lf>(_mm256_set_m128(b, a));
#else
  Lf v;
  for (int i = 0; i < kLanes; ++i) v[i] = base[index[i]];
  return v;
#endif
}

// base[index[l]] and base[index[l] + 1] of every lane l. With AVX2 each lane's two floats come
// in one 64-bit load.
FM_LANE_FN void gatherAdjacent(const float* base, Li index, Lf& first, Lf& second) {
#if FM_CPU_LANES == 8
  const __m256i at = as<__m256i>(index);
  const __m128i lo = _mm256_castsi256_si128(at), hi = _mm256_extracti128_si256(at, 1);
  // Unaligned 64-bit loads: a table entry may start at any float.
  const auto two = [base](int i, int j) {
    const __m128 v = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(base + i)));
    return _mm_loadh_pi(v, reinterpret_cast<const __m64*>(base + j));
  };
  // Lanes 0, 1 | 4, 5 and 2, 3 | 6, 7, each lane's pair side by side.
  const __m256 a = _mm256_set_m128(two(_mm_cvtsi128_si32(hi), _mm_extract_epi32(hi, 1)),
                                   two(_mm_cvtsi128_si32(lo), _mm_extract_epi32(lo, 1)));
  const __m256 b = _mm256_set_m128(two(_mm_extract_epi32(hi, 2), _mm_extract_epi32(hi, 3)),
                                   two(_mm_extract_epi32(lo, 2), _mm_extract_epi32(lo, 3)));
  first = as<Lf>(_mm256_shuffle_ps(a, b, 0x88));
  second = as<Lf>(_mm256_shuffle_ps(a, b, 0xdd));
#else
  first = gather(base, index);
  second = gather(base, index + 1);
#endif
}

// Four channels of kLanes consecutive pixels, one channel per vector.
struct Pixels {
  Lf x, y, z, w;
};

namespace lanes {

// Shuffle masks: element i of a mask picks element mask[i] of the two vectors joined.
template <class F>
FM_LANE_FN Li mask(F f) {
  Li m;
  for (int i = 0; i < kLanes; ++i) m[i] = f(i);
  return m;
}

constexpr int kHalf = kLanes / 2;

// From two vectors of kLanes / 4 pixels each: channel c of their kHalf pixels, then channel c + 1.
FM_LANE_FN Lf pairOfChannels(Lf a, Lf b, int c) {
  return __builtin_shuffle(a, b, mask([c](int i) { return i < kHalf ? 4 * i + c : 4 * (i - kHalf) + c + 1; }));
}
// The first halves of a and b joined, or the second halves.
FM_LANE_FN Lf firstHalves(Lf a, Lf b) {
  return __builtin_shuffle(a, b, mask([](int i) { return i < kHalf ? i : kLanes + i - kHalf; }));
}
FM_LANE_FN Lf secondHalves(Lf a, Lf b) {
  return __builtin_shuffle(a, b, mask([](int i) { return i < kHalf ? kHalf + i : kLanes + i; }));
}
// Pixels [k, k + kLanes / 4) of pixels whose channels 0 and 1 are `xy` (kHalf of each) and
// channels 2 and 3 are `zw`, interleaved again.
FM_LANE_FN Lf interleave(Lf xy, Lf zw, int k) {
  return __builtin_shuffle(xy, zw, mask([k](int i) {
                             const int px = k + i / 4, c = i % 4;
                             return c < 2 ? c * kHalf + px : kLanes + (c - 2) * kHalf + px;
                           }));
}

}  // namespace lanes

// Unaligned whole-vector access to floats of an image or table.
typedef float LfUnaligned __attribute__((vector_size(4 * FM_CPU_LANES), aligned(4), may_alias));
FM_LANE_FN Lf loadLanes(const void* p) { return *static_cast<const LfUnaligned*>(p); }
FM_LANE_FN void storeLanes(void* p, Lf v) { *static_cast<LfUnaligned*>(p) = v; }

#if FM_CPU_LANES == 8
// AVX2 has no permute across two registers: pixels k and k + 4 share a register, one per
// 128-bit half, and each half is transposed on its own. `at(k)` is lane k's pixel.
FM_LANE_FN __m256 halves(const float4* lo, const float4* hi) {
  return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(reinterpret_cast<const float*>(lo))),
                              _mm_loadu_ps(reinterpret_cast<const float*>(hi)), 1);
}
// Registers a, b, c, d hold pixels 0 and 4, 1 and 5, 2 and 6, 3 and 7.
FM_LANE_FN Pixels transposed(__m256 a, __m256 b, __m256 c, __m256 d) {
  const __m256 t0 = _mm256_unpacklo_ps(a, b), t1 = _mm256_unpackhi_ps(a, b);
  const __m256 t2 = _mm256_unpacklo_ps(c, d), t3 = _mm256_unpackhi_ps(c, d);
  return {as<Lf>(_mm256_shuffle_ps(t0, t2, 0x44)), as<Lf>(_mm256_shuffle_ps(t0, t2, 0xee)),
          as<Lf>(_mm256_shuffle_ps(t1, t3, 0x44)), as<Lf>(_mm256_shuffle_ps(t1, t3, 0xee))};
}
template <class At>
FM_LANE_FN Pixels transposed(At at) {
  return transposed(halves(at(0), at(4)), halves(at(1), at(5)), halves(at(2), at(6)), halves(at(3), at(7)));
}
FM_LANE_FN Pixels loadPixels(const float4* p) {
  return transposed([p](int k) { return p + k; });
}

// The vectors that hold the pixels one after another, as memory holds them.
FM_LANE_FN void interleaved(const Pixels& q, Lf* v) {
  const __m256 x = as<__m256>(q.x), y = as<__m256>(q.y), z = as<__m256>(q.z), w = as<__m256>(q.w);
  const __m256 t0 = _mm256_unpacklo_ps(x, y), t1 = _mm256_unpackhi_ps(x, y);
  const __m256 t2 = _mm256_unpacklo_ps(z, w), t3 = _mm256_unpackhi_ps(z, w);
  const __m256 a = _mm256_shuffle_ps(t0, t2, 0x44), b = _mm256_shuffle_ps(t0, t2, 0xee);
  const __m256 c = _mm256_shuffle_ps(t1, t3, 0x44), d = _mm256_shuffle_ps(t1, t3, 0xee);
  v[0] = as<Lf>(_mm256_permute2f128_ps(a, b, 0x20));
  v[1] = as<Lf>(_mm256_permute2f128_ps(c, d, 0x20));
  v[2] = as<Lf>(_mm256_permute2f128_ps(a, b, 0x31));
  v[3] = as<Lf>(_mm256_permute2f128_ps(c, d, 0x31));
}
#else
FM_LANE_FN Pixels loadPixels(const float4* p) {
  const float* f = reinterpret_cast<const float*>(p);
  const Lf v0 = loadLanes(f), v1 = loadLanes(f + kLanes), v2 = loadLanes(f + 2 * kLanes), v3 = loadLanes(f + 3 * kLanes);
  const Lf xy0 = lanes::pairOfChannels(v0, v1, 0), zw0 = lanes::pairOfChannels(v0, v1, 2);
  const Lf xy1 = lanes::pairOfChannels(v2, v3, 0), zw1 = lanes::pairOfChannels(v2, v3, 2);
  return {lanes::firstHalves(xy0, xy1), lanes::secondHalves(xy0, xy1), lanes::firstHalves(zw0, zw1),
          lanes::secondHalves(zw0, zw1)};
}

// The vectors that hold the pixels one after another, as memory holds them.
FM_LANE_FN void interleaved(const Pixels& q, Lf* v) {
  const Lf xy0 = lanes::firstHalves(q.x, q.y), zw0 = lanes::firstHalves(q.z, q.w);
  const Lf xy1 = lanes::secondHalves(q.x, q.y), zw1 = lanes::secondHalves(q.z, q.w);
  v[0] = lanes::interleave(xy0, zw0, 0);
  v[1] = lanes::interleave(xy0, zw0, kLanes / 4);
  v[2] = lanes::interleave(xy1, zw1, 0);
  v[3] = lanes::interleave(xy1, zw1, kLanes / 4);
}
#endif

// The pixels base[index[l]] of every lane l, all four channels. Gathers are slow where the level
// is AVX2 (several times a load on some processors): whole pixels are loaded and transposed.
FM_LANE_FN Pixels gatherPixels(const float4* base, Li index) {
#if FM_CPU_LANES == 8
  return transposed([&](int k) { return base + index[k]; });
#elif FM_CPU_LANES == 16
  const float* f = reinterpret_cast<const float*>(base);
  const Li at = index * 4;
  return {gather(f, at), gather(f, at + 1), gather(f, at + 2), gather(f, at + 3)};
#else
  float4 picked[kLanes];
  for (int k = 0; k < kLanes; ++k) std::memcpy(&picked[k], base + index[k], sizeof(float4));
  return loadPixels(picked);
#endif
}

FM_LANE_FN void storePixels(float4* p, const Pixels& q) {
  Lf v[4];
  interleaved(q, v);
  float* f = reinterpret_cast<float*>(p);
  for (int i = 0; i < 4; ++i) storeLanes(f + i * kLanes, v[i]);
}

// As storePixels, but past the cache (see StreamStore.h) where p is aligned to a whole vector.
FM_LANE_FN void streamPixels(float4* p, const Pixels& q) {
#if defined(__SSE2__)
  if (reinterpret_cast<uintptr_t>(p) % sizeof(Lf) == 0) {
    Lf v[4];
    interleaved(q, v);
    float* f = reinterpret_cast<float*>(p);
    for (int i = 0; i < 4; ++i) {
#if FM_CPU_LANES == 16
      _mm512_stream_ps(f + i * kLanes, as<__m512>(v[i]));
#elif FM_CPU_LANES == 8
      _mm256_stream_ps(f + i * kLanes, as<__m256>(v[i]));
#else
      _mm_stream_ps(f + i * kLanes, as<__m128>(v[i]));
#endif
    }
    return;
  }
#endif
  storePixels(p, q);
}
