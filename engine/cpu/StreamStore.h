// Stores that bypass the cache, part of the level body (CpuLevelBody.h), for results written
// once and not read again soon: a frame is far larger than the caches, so reading each
// destination line in before overwriting it only costs bandwidth. Falls back to plain stores
// where the instruction set has none.
#pragma once

inline void streamStore(float4* dst, float4 v) {
#if defined(__SSE__) && defined(FM_F4_NATIVE)
  _mm_stream_ps(reinterpret_cast<float*>(dst), reinterpret_cast<__m128&>(v));
#else
  *dst = v;
#endif
}

// Makes streamed stores visible before the work is handed back to other threads.
inline void streamFence() {
#if defined(__SSE__) && defined(FM_F4_NATIVE)
  _mm_sfence();
#endif
}
