// The instruction-set levels the CPU kernels and runners are built for. Every level gives the
// same bits: only how many pixels one instruction serves changes.
#pragma once

namespace fm {

enum class CpuIsa {
  Baseline,  // x86-64 (SSE2), or whatever the target's baseline is elsewhere
  Avx2,      // x86-64-v3: AVX2 (fused multiply-add stays unused: no operation is fused)
  Avx512,    // x86-64-v4: AVX-512 F, BW, CD, DQ, VL
};

constexpr int kCpuIsaCount = 3;

// Whether this build has code for the level and the processor (and its operating system) can
// run it.
bool cpuIsaSupported(CpuIsa isa);

// The level the process runs: the widest supported one, or the one FM_CPU_ISA names
// (baseline, avx2, avx512) when the processor supports it. Chosen once per process.
CpuIsa cpuIsa();

// "baseline", "avx2" or "avx512".
const char* cpuIsaName(CpuIsa isa);

}  // namespace fm
