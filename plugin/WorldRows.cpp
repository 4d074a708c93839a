#include "plugin/WorldRows.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "plugin/HostWorld.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>

#include "engine/cpu/CpuIsa.h"
#define FM_ROWS_AVX2 1
#endif

namespace fm {
namespace {

struct Straight {
  float r, g, b, a;
};

constexpr int bytesOf(int format) { return format == kWorld8 ? 4 : format == kWorld16 ? 8 : 16; }

// One format's pixels: reading straight channels and writing them back.
template <int Format>
struct Codec;

template <>
struct Codec<kWorld8> {
  static Straight read(const unsigned char* p) {
    constexpr float k = 1.0f / 255.0f;
    return {p[1] * k, p[2] * k, p[3] * k, p[0] * k};
  }
  static unsigned char quantize(float v) {
    return static_cast<unsigned char>(std::clamp(v, 0.0f, 1.0f) * 255.0f + 0.5f);
  }
  static void write(unsigned char* p, const Straight& s) {
    p[0] = quantize(s.a);
    p[1] = quantize(s.r);
    p[2] = quantize(s.g);
    p[3] = quantize(s.b);
  }
};

template <>
struct Codec<kWorld16> {
  static Straight read(const unsigned char* p) {
    constexpr float k = 1.0f / 32768.0f;
    uint16_t c[4];
    std::memcpy(c, p, sizeof(c));
    return {c[1] * k, c[2] * k, c[3] * k, std::min(c[0] * k, 1.0f)};
  }
  static uint16_t quantize(float v) {
    return static_cast<uint16_t>(std::clamp(v, 0.0f, 1.0f) * 32768.0f + 0.5f);
  }
  static void write(unsigned char* p, const Straight& s) {
    const uint16_t c[4] = {quantize(s.a), quantize(s.r), quantize(s.g), quantize(s.b)};
    std::memcpy(p, c, sizeof(c));
  }
};

template <>
struct Codec<kWorld32> {
  static Straight read(const unsigned char* p) {
    float c[4];
    std::memcpy(c, p, sizeof(c));
    return {c[1], c[2], c[3], c[0]};
  }
  static void write(unsigned char* p, const Straight& s) {
    const float c[4] = {s.a, s.r, s.g, s.b};
    std::memcpy(p, c, sizeof(c));
  }
};

template <>
struct Codec<kWorldGpuBgra> {
  static Straight read(const unsigned char* p) {
    float c[4];
    std::memcpy(c, p, sizeof(c));
    return {c[2], c[1], c[0], c[3]};
  }
  static void write(unsigned char* p, const Straight& s) {
    const float c[4] = {s.b, s.g, s.r, s.a};
    std::memcpy(p, c, sizeof(c));
  }
};

float finiteOr0(float v) { return std::isfinite(v) ? v : 0.0f; }

// Alpha within [0, 1] (non-finite: 0) and finite colour.
Straight sanitized(Straight s) {
  float a = std::isfinite(s.a) && s.a > 0.0f ? s.a : 0.0f;
  if (a > 1.0f) a = 1.0f;
  return {finiteOr0(s.r), finiteOr0(s.g), finiteOr0(s.b), a};
}

// The export kernel's rule: colour divided by the unclamped alpha where that exceeds 1, dropped
// below alpha 1e-7, non-finite values 0.
Straight unpremultiplied(const float* v) {
  float a = std::clamp(v[3], 0.0f, 1.0f);
  if (!std::isfinite(a)) a = 0.0f;
  Straight s{0.0f, 0.0f, 0.0f, a};
  if (a > 1e-7f) {
    const float inv = 1.0f / (v[3] > a ? v[3] : a);
    s.r = v[0] * inv;
    s.g = v[1] * inv;
    s.b = v[2] * inv;
  }
  s.r = finiteOr0(s.r);
  s.g = finiteOr0(s.g);
  s.b = finiteOr0(s.b);
  return s;
}

template <int F>
void importScalar(const unsigned char* src, float* dst, int32_t width) {
  for (int32_t x = 0; x < width; ++x, src += bytesOf(F), dst += 4) {
    const Straight s = sanitized(Codec<F>::read(src));
    dst[0] = s.r * s.a;
    dst[1] = s.g * s.a;
    dst[2] = s.b * s.a;
    dst[3] = s.a;
  }
}

template <int F>
void exportScalar(const float* src, unsigned char* dst, int32_t width) {
  for (int32_t x = 0; x < width; ++x, src += 4, dst += bytesOf(F)) {
    Codec<F>::write(dst, unpremultiplied(src));
  }
}

template <int From, int To>
void convertPixels(const unsigned char* src, unsigned char* dst, int32_t width) {
  for (int32_t x = 0; x < width; ++x, src += bytesOf(From), dst += bytesOf(To)) {
    Codec<To>::write(dst, sanitized(Codec<From>::read(src)));
  }
}

#if defined(FM_ROWS_AVX2)
// The export for eight pixels on processors with AVX2: each 128-bit half takes four pixels the
// way the code above does, so the lanes see the same operations.
namespace avx2 {

#define FM_AVX2 __attribute__((target("avx2")))

FM_AVX2 inline __m256 finiteOnly(__m256 v) {
  const __m256 magnitude = _mm256_and_ps(v, _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff)));
  return _mm256_and_ps(v, _mm256_cmp_ps(magnitude, _mm256_set1_ps(FLT_MAX), _CMP_LE_OQ));
}

FM_AVX2 inline __m256 clamp01(__m256 v) {
  return _mm256_min_ps(_mm256_max_ps(v, _mm256_setzero_ps()), _mm256_set1_ps(1.0f));
}

// _MM_TRANSPOSE4_PS in each 128-bit half.
FM_AVX2 inline void transpose(__m256& a, __m256& b, __m256& c, __m256& d) {
  const __m256 t0 = _mm256_unpacklo_ps(a, b), t1 = _mm256_unpackhi_ps(a, b);
  const __m256 t2 = _mm256_unpacklo_ps(c, d), t3 = _mm256_unpackhi_ps(c, d);
  a = _mm256_shuffle_ps(t0, t2, 0x44);
  b = _mm256_shuffle_ps(t0, t2, 0xEE);
  c = _mm256_shuffle_ps(t1, t3, 0x44);
  d = _mm256_shuffle_ps(t1, t3, 0xEE);
}

// Pixel i of the first four in the low half, pixel 4 + i in the high half.
FM_AVX2 inline __m256 pixelPair(const float* src, int i) {
  return _mm256_set_m128(_mm_loadu_ps(src + 16 + 4 * i), _mm_loadu_ps(src + 4 * i));
}

FM_AVX2 inline __m256i quantized(__m256 v, __m256 full) {
  return _mm256_cvttps_epi32(_mm256_add_ps(_mm256_mul_ps(clamp01(v), full), _mm256_set1_ps(0.5f)));
}

FM_AVX2 inline void interleave(const __m256i q[4], __m256i& lo, __m256i& hi, __m256i shift) {
  const __m256i ar = _mm256_packs_epi32(_mm256_sub_epi32(q[0], shift), _mm256_sub_epi32(q[1], shift));
  const __m256i gb = _mm256_packs_epi32(_mm256_sub_epi32(q[2], shift), _mm256_sub_epi32(q[3], shift));
  const __m256i t0 = _mm256_unpacklo_epi16(ar, gb), t1 = _mm256_unpackhi_epi16(ar, gb);
  lo = _mm256_unpacklo_epi16(t0, t1);
  hi = _mm256_unpackhi_epi16(t0, t1);
}

// Streamed in halves: worlds are only sure to lie on 16 bytes.
FM_AVX2 inline void store(unsigned char* dst, __m256i v, bool stream) {
  if (stream) {
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst), _mm256_castsi256_si128(v));
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 16), _mm256_extracti128_si256(v, 1));
  } else
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), v);
}
FM_AVX2 inline void store(unsigned char* dst, __m128i v, bool stream) {
  if (stream)
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst), v);
  else
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), v);
}
FM_AVX2 inline void store(unsigned char* dst, __m128 v, bool stream) {
  if (stream)
    _mm_stream_ps(reinterpret_cast<float*>(dst), v);
  else
    _mm_storeu_ps(reinterpret_cast<float*>(dst), v);
}

// Stream: dst is aligned to 16 bytes, and the stores go past the caches.
template <bool Stream>
FM_AVX2 inline void exportEight(int format, const float* src, unsigned char* dst) {
  __m256 r = pixelPair(src, 0), g = pixelPair(src, 1), b = pixelPair(src, 2), w = pixelPair(src, 3);
  transpose(r, g, b, w);
  __m256 a = clamp01(w);  // a NaN alpha becomes 0
  const __m256 keep = _mm256_cmp_ps(a, _mm256_set1_ps(1e-7f), _CMP_GT_OQ);
  const __m256 inv = _mm256_div_ps(_mm256_set1_ps(1.0f), _mm256_max_ps(w, a));
  r = finiteOnly(_mm256_and_ps(_mm256_mul_ps(r, inv), keep));
  g = finiteOnly(_mm256_and_ps(_mm256_mul_ps(g, inv), keep));
  b = finiteOnly(_mm256_and_ps(_mm256_mul_ps(b, inv), keep));
  if (format == kWorld8 || format == kWorld16) {
    const __m256 full = _mm256_set1_ps(format == kWorld8 ? 255.0f : 32768.0f);
    const __m256i q[4] = {quantized(a, full), quantized(r, full), quantized(g, full), quantized(b, full)};
    __m256i lo, hi;
    if (format == kWorld8) {
      interleave(q, lo, hi, _mm256_setzero_si256());
      store(dst, _mm256_packus_epi16(lo, hi), Stream);
    } else {
      interleave(q, lo, hi, _mm256_set1_epi32(32768));
      const __m256i back = _mm256_set1_epi16(-32768);
      lo = _mm256_xor_si256(lo, back);
      hi = _mm256_xor_si256(hi, back);
      // Each half's pixels in place, without a permute across halves (slow on some processors).
      store(dst, _mm256_castsi256_si128(lo), Stream);
      store(dst + 16, _mm256_castsi256_si128(hi), Stream);
      store(dst + 32, _mm256_extracti128_si256(lo, 1), Stream);
      store(dst + 48, _mm256_extracti128_si256(hi, 1), Stream);
    }
    return;
  }
  const bool bgra = format == kWorldGpuBgra;
  __m256 rows[4] = {bgra ? b : a, bgra ? g : r, bgra ? r : g, bgra ? a : b};
  transpose(rows[0], rows[1], rows[2], rows[3]);
  for (int i = 0; i < 4; ++i) {
    store(dst + 16 * i, _mm256_castps256_ps128(rows[i]), Stream);
    store(dst + 64 + 16 * i, _mm256_extractf128_ps(rows[i], 1), Stream);
  }
}

// The whole groups of eight pixels of a row; the pixels done. Streamed where asked for and the
// row lies on 16 bytes, which puts every group's stores on whole vectors.
template <int F>
FM_AVX2 int32_t exportEights(const float* src, unsigned char* dst, int32_t width, bool stream) {
  const int32_t eights = width & ~7;
  if (stream && reinterpret_cast<uintptr_t>(dst) % 16 == 0) {
    for (int32_t x = 0; x < eights; x += 8)
      exportEight<true>(F, src + 4 * int64_t(x), dst + int64_t(x) * bytesOf(F));
    _mm_sfence();
    return eights;
  }
  for (int32_t x = 0; x < eights; x += 8)
    exportEight<false>(F, src + 4 * int64_t(x), dst + int64_t(x) * bytesOf(F));
  return eights;
}

#undef FM_AVX2

// The engine's choice of instruction set, so that one setting moves both.
bool enabled() {
  static const bool avx2 = cpuIsa() != CpuIsa::Baseline;
  return avx2;
}

}  // namespace avx2
#endif

#if defined(__SSE2__)
// The same rules for four pixels at once, one channel to a vector; every lane operation is the
// scalar one, so the numbers agree bit for bit.
namespace sse {

const __m128 kZero = _mm_setzero_ps();
const __m128 kOne = _mm_set1_ps(1.0f);

__m128 finiteOnly(__m128 v) {
  const __m128 magnitude = _mm_and_ps(v, _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff)));
  return _mm_and_ps(v, _mm_cmple_ps(magnitude, _mm_set1_ps(FLT_MAX)));
}

__m128 clamp01(__m128 v) { return _mm_min_ps(_mm_max_ps(v, kZero), kOne); }

// Four pixels of 16-bit lanes A, R, G, B, A, R, G, B (twice) as channel vectors of 32-bit ints.
void deinterleave(__m128i lo, __m128i hi, __m128i ch[4]) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i t0 = _mm_unpacklo_epi16(lo, hi), t1 = _mm_unpackhi_epi16(lo, hi);
  const __m128i ar = _mm_unpacklo_epi16(t0, t1), gb = _mm_unpackhi_epi16(t0, t1);
  ch[0] = _mm_unpacklo_epi16(ar, zero);
  ch[1] = _mm_unpackhi_epi16(ar, zero);
  ch[2] = _mm_unpacklo_epi16(gb, zero);
  ch[3] = _mm_unpackhi_epi16(gb, zero);
}

// The reverse: channel vectors of 16-bit values (as ints) to two vectors of pixels A, R, G, B.
void interleave(const __m128i q[4], __m128i& lo, __m128i& hi, __m128i shift) {
  const __m128i ar = _mm_packs_epi32(_mm_sub_epi32(q[0], shift), _mm_sub_epi32(q[1], shift));
  const __m128i gb = _mm_packs_epi32(_mm_sub_epi32(q[2], shift), _mm_sub_epi32(q[3], shift));
  const __m128i t0 = _mm_unpacklo_epi16(ar, gb), t1 = _mm_unpackhi_epi16(ar, gb);
  lo = _mm_unpacklo_epi16(t0, t1);
  hi = _mm_unpackhi_epi16(t0, t1);
}

// Stream: dst is aligned to 16 bytes, and the stores go past the caches.
template <bool Stream>
void importFour(int format, const unsigned char* src, float* dst) {
  __m128 ch[4];  // A, R, G, B
  if (format == kWorld8 || format == kWorld16) {
    __m128i lo, hi;
    if (format == kWorld8) {
      const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
      lo = _mm_unpacklo_epi8(q, _mm_setzero_si128());
      hi = _mm_unpackhi_epi8(q, _mm_setzero_si128());
    } else {
      lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
      hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
    }
    __m128i ints[4];
    deinterleave(lo, hi, ints);
    const __m128 k = _mm_set1_ps(format == kWorld8 ? 1.0f / 255.0f : 1.0f / 32768.0f);
    for (int c = 0; c < 4; ++c) ch[c] = _mm_mul_ps(_mm_cvtepi32_ps(ints[c]), k);
    ch[0] = _mm_min_ps(ch[0], kOne);  // integer channels are finite and never negative
  } else {
    __m128 p[4];
    for (int i = 0; i < 4; ++i) p[i] = _mm_loadu_ps(reinterpret_cast<const float*>(src) + 4 * i);
    _MM_TRANSPOSE4_PS(p[0], p[1], p[2], p[3]);
    const bool bgra = format == kWorldGpuBgra;
    ch[0] = clamp01(finiteOnly(bgra ? p[3] : p[0]));
    ch[1] = finiteOnly(bgra ? p[2] : p[1]);
    ch[2] = finiteOnly(p[bgra ? 1 : 2]);
    ch[3] = finiteOnly(bgra ? p[0] : p[3]);
  }
  __m128 r = _mm_mul_ps(ch[1], ch[0]), g = _mm_mul_ps(ch[2], ch[0]), b = _mm_mul_ps(ch[3], ch[0]);
  __m128 a = ch[0];
  _MM_TRANSPOSE4_PS(r, g, b, a);
  const __m128 px[4] = {r, g, b, a};
  for (int i = 0; i < 4; ++i) {
    if (Stream)
      _mm_stream_ps(dst + 4 * i, px[i]);
    else
      _mm_storeu_ps(dst + 4 * i, px[i]);
  }
}

__m128i quantized(__m128 v, __m128 full) {
  return _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(clamp01(v), full), _mm_set1_ps(0.5f)));
}

void exportFour(int format, const float* src, unsigned char* dst) {
  __m128 r = _mm_loadu_ps(src), g = _mm_loadu_ps(src + 4), b = _mm_loadu_ps(src + 8),
         w = _mm_loadu_ps(src + 12);
  _MM_TRANSPOSE4_PS(r, g, b, w);
  __m128 a = clamp01(w);  // a NaN alpha becomes 0
  const __m128 keep = _mm_cmpgt_ps(a, _mm_set1_ps(1e-7f));
  const __m128 inv = _mm_div_ps(kOne, _mm_max_ps(w, a));
  r = finiteOnly(_mm_and_ps(_mm_mul_ps(r, inv), keep));
  g = finiteOnly(_mm_and_ps(_mm_mul_ps(g, inv), keep));
  b = finiteOnly(_mm_and_ps(_mm_mul_ps(b, inv), keep));
  if (format == kWorld8 || format == kWorld16) {
    const __m128 full = _mm_set1_ps(format == kWorld8 ? 255.0f : 32768.0f);
    const __m128i q[4] = {quantized(a, full), quantized(r, full), quantized(g, full), quantized(b, full)};
    __m128i lo, hi;
    if (format == kWorld8) {
      interleave(q, lo, hi, _mm_setzero_si128());
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_packus_epi16(lo, hi));
    } else {
      // 0..32768 does not fit a signed pack: shifted by 32768 around it.
      interleave(q, lo, hi, _mm_set1_epi32(32768));
      const __m128i back = _mm_set1_epi16(-32768);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_xor_si128(lo, back));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), _mm_xor_si128(hi, back));
    }
    return;
  }
  const bool bgra = format == kWorldGpuBgra;
  __m128 rows[4] = {bgra ? b : a, bgra ? g : r, bgra ? r : g, bgra ? a : b};
  _MM_TRANSPOSE4_PS(rows[0], rows[1], rows[2], rows[3]);
  for (int i = 0; i < 4; ++i) _mm_storeu_ps(reinterpret_cast<float*>(dst) + 4 * i, rows[i]);
}

// Whole groups of four pixels; the scalar code takes the rest of the row.
template <int F>
void importPixels(const unsigned char* src, float* dst, int32_t width, bool stream) {
  const int32_t four = width & ~3;
  if (stream && reinterpret_cast<uintptr_t>(dst) % 16 == 0) {
    for (int32_t x = 0; x < four; x += 4)
      importFour<true>(F, src + int64_t(x) * bytesOf(F), dst + 4 * int64_t(x));
    _mm_sfence();
  } else {
    for (int32_t x = 0; x < four; x += 4)
      importFour<false>(F, src + int64_t(x) * bytesOf(F), dst + 4 * int64_t(x));
  }
  importScalar<F>(src + int64_t(four) * bytesOf(F), dst + 4 * int64_t(four), width - four);
}

template <int F>
void exportPixels(const float* src, unsigned char* dst, int32_t width, bool stream) {
  int32_t x = 0;
#if defined(FM_ROWS_AVX2)
  if (avx2::enabled()) x = avx2::exportEights<F>(src, dst, width, stream);
#else
  (void)stream;
#endif
  for (; x + 4 <= width; x += 4) exportFour(F, src + 4 * int64_t(x), dst + int64_t(x) * bytesOf(F));
  exportScalar<F>(src + 4 * int64_t(x), dst + int64_t(x) * bytesOf(F), width - x);
}

}  // namespace sse
using sse::exportPixels;
using sse::importPixels;
#else
template <int F>
void importPixels(const unsigned char* src, float* dst, int32_t width, bool) {
  importScalar<F>(src, dst, width);
}
template <int F>
void exportPixels(const float* src, unsigned char* dst, int32_t width, bool) {
  exportScalar<F>(src, dst, width);
}
#endif

template <template <int> class Op, class... Args>
void byFormat(int32_t format, Args... args) {
  switch (format) {
    case kWorld8:
      return Op<kWorld8>::run(args...);
    case kWorld16:
      return Op<kWorld16>::run(args...);
    case kWorld32:
      return Op<kWorld32>::run(args...);
    case kWorldGpuBgra:
      return Op<kWorldGpuBgra>::run(args...);
    default:
      return;
  }
}

template <int F>
struct ImportOp {
  static void run(const unsigned char* src, float* dst, int32_t width, bool stream) {
    importPixels<F>(src, dst, width, stream);
  }
};
template <int F>
struct ExportOp {
  static void run(const float* src, unsigned char* dst, int32_t width, bool stream) {
    exportPixels<F>(src, dst, width, stream);
  }
};
template <int From>
struct ConvertOp {
  template <int To>
  struct Into {
    static void run(const unsigned char* src, unsigned char* dst, int32_t width) {
      convertPixels<From, To>(src, dst, width);
    }
  };
  static void run(int32_t to, const unsigned char* src, unsigned char* dst, int32_t width) {
    byFormat<Into>(to, src, dst, width);
  }
};

}  // namespace

void importRow(int32_t format, const unsigned char* src, float* dst, int32_t width, bool stream) {
  byFormat<ImportOp>(format, src, dst, width, stream);
}

void exportRow(int32_t format, const float* src, unsigned char* dst, int32_t width, bool stream) {
  byFormat<ExportOp>(format, src, dst, width, stream);
}

void convertRow(int32_t from, int32_t to, const unsigned char* src, unsigned char* dst,
                int32_t width) {
  byFormat<ConvertOp>(from, to, src, dst, width);
}

}  // namespace fm
