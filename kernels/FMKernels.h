// The one kernel source. The target layer below is the only code that knows whether
// this text is OpenCL C, CUDA (compiled to PTX) or C++ for the CPU backend; helpers
// and kernel bodies use nothing else. On the CPU the includer has already included
// <cmath> and <cstring>, and may include this header inside a namespace.
#ifndef FM_KERNELS_H
#define FM_KERNELS_H

#include "FMKernelTypes.h"

/* ------------------------------------------------------------------ target layer */
#if defined(FM_TARGET_OPENCL)

#define FM_G __global
#define FM_FN static inline
#define FM_KERNEL(name)                                                                   \
  __kernel void name(__global float4* dst, __global const float4* srcA,                   \
                     __global const float4* srcB, __global const float* tab, FMParams p)
#define FM_GX ((int)get_global_id(0))
#define FM_GY ((int)get_global_id(1))
typedef long fm_idx;
#define make_f4(a, b, c, d) ((float4)((a), (b), (c), (d)))
#define FM_X(v) ((v).x)
#define FM_Y(v) ((v).y)
#define FM_Z(v) ((v).z)
#define FM_W(v) ((v).w)

FM_FN float fm_sqrtf(float x) { return sqrt(x); }
FM_FN float fm_floorf(float x) { return floor(x); }
FM_FN float fm_ceilf(float x) { return ceil(x); }
FM_FN float fm_absf(float x) { return fabs(x); }
FM_FN float fm_minf(float a, float b) { return fmin(a, b); }
FM_FN float fm_maxf(float a, float b) { return fmax(a, b); }
FM_FN float fm_exp2f(float x) { return exp2(x); }
FM_FN float fm_log2f(float x) { return log2(x); }
FM_FN float fm_sinf(float x) { return sin(x); }
FM_FN float fm_cosf(float x) { return cos(x); }
FM_FN int fm_finite(float x) { return isfinite(x) ? 1 : 0; }

#elif defined(FM_TARGET_CUDA)

// No CUDA headers: the attributes and builtins below are all clang needs for NVPTX.
#define FM_G
#define FM_DEV __attribute__((device)) __attribute__((always_inline)) inline
#define FM_FN static FM_DEV
#define FM_KERNEL(name)                                                                   \
  extern "C" __attribute__((global)) void name(float4* dst, const float4* srcA,           \
                                               const float4* srcB, const float* tab,      \
                                               FMParams p)
#define FM_GX ((int)(__nvvm_read_ptx_sreg_ctaid_x() * __nvvm_read_ptx_sreg_ntid_x() +     \
                     __nvvm_read_ptx_sreg_tid_x()))
#define FM_GY ((int)(__nvvm_read_ptx_sreg_ctaid_y() * __nvvm_read_ptx_sreg_ntid_y() +     \
                     __nvvm_read_ptx_sreg_tid_y()))
typedef long long fm_idx;
#define FM_F4_STRUCT 1

FM_FN float fm_sqrtf(float x) { return __builtin_sqrtf(x); }
FM_FN float fm_floorf(float x) { return __builtin_floorf(x); }
FM_FN float fm_ceilf(float x) { return __builtin_ceilf(x); }
FM_FN float fm_absf(float x) { return __builtin_fabsf(x); }
FM_FN float fm_minf(float a, float b) { return __builtin_fminf(a, b); }
FM_FN float fm_maxf(float a, float b) { return __builtin_fmaxf(a, b); }
FM_FN float fm_exp2f(float x) { return __nvvm_ex2_approx_f(x); }
FM_FN float fm_log2f(float x) { return __nvvm_lg2_approx_f(x); }
// The hardware approximations lose accuracy far from zero: reduce to one turn first.
FM_FN float fm_turnf(float x) { return x - 6.28318530718f * __builtin_rintf(x * 0.159154943092f); }
FM_FN float fm_sinf(float x) { return __nvvm_sin_approx_f(fm_turnf(x)); }
FM_FN float fm_cosf(float x) { return __nvvm_cos_approx_f(fm_turnf(x)); }
FM_FN int fm_finite(float x) { return (x == x && __builtin_fabsf(x) <= 3.402823466e38f) ? 1 : 0; }

#else /* CPU */

#define FM_G
#define FM_FN static inline
#define FM_KERNEL(name)                                                                   \
  static inline void name([[maybe_unused]] int fm_gx, [[maybe_unused]] int fm_gy,         \
                          [[maybe_unused]] float4* dst, [[maybe_unused]] const float4* srcA, \
                          [[maybe_unused]] const float4* srcB,                            \
                          [[maybe_unused]] const float* tab, const FMParams& p)
#define FM_GX fm_gx
#define FM_GY fm_gy
typedef long long fm_idx;

#if !defined(FM_NO_NATIVE_F4) && (defined(__GNUC__) || defined(__clang__))
#define FM_F4_NATIVE 1
typedef float float4 __attribute__((vector_size(16)));
FM_FN float4 make_f4(float a, float b, float c, float d) {
  float4 v = {a, b, c, d};
  return v;
}
#define FM_X(v) ((v)[0])
#define FM_Y(v) ((v)[1])
#define FM_Z(v) ((v)[2])
#define FM_W(v) ((v)[3])
#else
#define FM_F4_STRUCT 1
#endif

#define FM_HAVE_POWF 1
// The transfer curves are read from tables built once per process (curves.h).
#define FM_CURVE_TABLES 1
FM_FN float fm_sqrtf(float x) { return sqrtf(x); }
FM_FN float fm_floorf(float x) { return floorf(x); }
FM_FN float fm_ceilf(float x) { return ceilf(x); }
FM_FN float fm_absf(float x) { return fabsf(x); }
// fminf and fmaxf, inline: the library calls cost more than the comparisons they make. A NaN
// argument yields the other one; equal arguments yield b, as the x86 instructions do.
FM_FN float fm_minf(float a, float b) { return (a < b || b != b) ? a : b; }
FM_FN float fm_maxf(float a, float b) { return (a > b || b != b) ? a : b; }
FM_FN float fm_exp2f(float x) { return exp2f(x); }
FM_FN float fm_log2f(float x) { return log2f(x); }
FM_FN float fm_sinf(float x) { return sinf(x); }
FM_FN float fm_cosf(float x) { return cosf(x); }
FM_FN int fm_finite(float x) { return std::isfinite(x) ? 1 : 0; }
FM_FN float fm_powf(float x, float y) { return x <= 0.0f ? 0.0f : powf(x, y); }

#endif

#if defined(FM_F4_STRUCT)
// Per-component pixel type for CUDA and for C++ compilers without vector extensions.
#if defined(FM_TARGET_CUDA)
#define FM_OP FM_DEV
#else
#define FM_OP inline
#endif
struct __attribute__((aligned(16))) float4 {
  float x, y, z, w;
};
FM_OP float4 make_f4(float a, float b, float c, float d) {
  float4 v;
  v.x = a; v.y = b; v.z = c; v.w = d;
  return v;
}
FM_OP float4 operator+(float4 a, float4 b) { return make_f4(a.x + b.x, a.y + b.y, a.z + b.z, a.w + b.w); }
FM_OP float4 operator-(float4 a, float4 b) { return make_f4(a.x - b.x, a.y - b.y, a.z - b.z, a.w - b.w); }
FM_OP float4 operator*(float4 a, float4 b) { return make_f4(a.x * b.x, a.y * b.y, a.z * b.z, a.w * b.w); }
FM_OP float4 operator*(float4 a, float s) { return make_f4(a.x * s, a.y * s, a.z * s, a.w * s); }
FM_OP float4 operator*(float s, float4 a) { return make_f4(a.x * s, a.y * s, a.z * s, a.w * s); }
FM_OP float4 operator/(float4 a, float s) { return make_f4(a.x / s, a.y / s, a.z / s, a.w / s); }
FM_OP float4 operator-(float4 a) { return make_f4(-a.x, -a.y, -a.z, -a.w); }
FM_OP float4& operator+=(float4& a, float4 b) { a = a + b; return a; }
FM_OP float4& operator-=(float4& a, float4 b) { a = a - b; return a; }
#define FM_X(v) ((v).x)
#define FM_Y(v) ((v).y)
#define FM_Z(v) ((v).z)
#define FM_W(v) ((v).w)
#endif

#if !defined(FM_HAVE_POWF)
FM_FN float fm_powf(float x, float y) { return x <= 0.0f ? 0.0f : fm_exp2f(y * fm_log2f(x)); }
#endif

/* ---------------------------------------------------------------- shared helpers */

FM_FN float4 f4z(void) { return make_f4(0.0f, 0.0f, 0.0f, 0.0f); }
FM_FN int fm_mini(int a, int b) { return a < b ? a : b; }
FM_FN int fm_maxi(int a, int b) { return a > b ? a : b; }
FM_FN int fm_clampi(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }
FM_FN float fm_clampf(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }

FM_FN float4 fm_fetch0(FM_G const float4* img, int w, int h, int pitch, int x, int y) {
  if (x < 0 || y < 0 || x >= w || y >= h) return f4z();
  return img[(fm_idx)y * pitch + x];
}

// Bilinear sample at pixel-centre coordinates; fades to transparent over the outer half pixel.
FM_FN float4 fm_bilin0(FM_G const float4* img, int w, int h, int pitch, float X, float Y) {
  if (!(X > -1.0f && Y > -1.0f && X < (float)w && Y < (float)h)) return f4z();
  float fx = fm_floorf(X), fy = fm_floorf(Y);
  int x0 = (int)fx, y0 = (int)fy;
  float ax = X - fx, ay = Y - fy;
  float4 a, b, c, d;
  if (x0 >= 0 && y0 >= 0 && x0 + 1 < w && y0 + 1 < h) {
    FM_G const float4* r0 = img + (fm_idx)y0 * pitch + x0;
    FM_G const float4* r1 = r0 + pitch;
    a = r0[0]; b = r0[1]; c = r1[0]; d = r1[1];
  } else {
    a = fm_fetch0(img, w, h, pitch, x0, y0);
    b = fm_fetch0(img, w, h, pitch, x0 + 1, y0);
    c = fm_fetch0(img, w, h, pitch, x0, y0 + 1);
    d = fm_fetch0(img, w, h, pitch, x0 + 1, y0 + 1);
  }
  return (a * (1.0f - ax) + b * ax) * (1.0f - ay) + (c * (1.0f - ax) + d * ax) * ay;
}

// Bilinear sample of the first channel, clamped to the image: maps repeat their edges.
FM_FN float fm_bilin_x_clamp(FM_G const float4* img, int w, int h, int pitch, float X, float Y) {
  // Written so that a NaN coordinate lands on the first pixel instead of an index from NaN.
  X = X >= 0.0f ? fm_minf(X, (float)(w - 1)) : 0.0f;
  Y = Y >= 0.0f ? fm_minf(Y, (float)(h - 1)) : 0.0f;
  float fx = fm_floorf(X), fy = fm_floorf(Y);
  int x0 = (int)fx, y0 = (int)fy;
  int x1 = fm_mini(x0 + 1, w - 1), y1 = fm_mini(y0 + 1, h - 1);
  float ax = X - fx, ay = Y - fy;
  float a = FM_X(img[(fm_idx)y0 * pitch + x0]);
  float b = FM_X(img[(fm_idx)y0 * pitch + x1]);
  float c = FM_X(img[(fm_idx)y1 * pitch + x0]);
  float d = FM_X(img[(fm_idx)y1 * pitch + x1]);
  return (a * (1.0f - ax) + b * ax) * (1.0f - ay) + (c * (1.0f - ax) + d * ax) * ay;
}

FM_FN void fm_store(FM_G float4* dst, fm_idx i, float4 v, int accum) {
  if (accum) dst[i] = dst[i] + v;
  else dst[i] = v;
}

// Common start of a kernel over dW x rows: names the item's column and row and leaves
// the kernel when the item lies outside the work.
#define FM_PIXEL_ITEM(x, y)              \
  const int x = FM_GX;                   \
  const int y = p.y0 + FM_GY;            \
  if (x >= p.dW || y >= p.y1 || y >= p.dH) return

/* ------------------------------------------------------------------- kernels */

#include "curves.h"
#include "transfer.h"
#include "separable.h"
#include "lens.h"
#include "group.h"
#include "vector.h"
#include "flowpyramid.h"
#include "flowpatch.h"
#include "flowrefine.h"
#include "mblur.h"

#endif
