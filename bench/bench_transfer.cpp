// Throughput of the transfer kernels on a UHD frame with all cores, next to memcpy of the
// same bytes in the same process. Bytes counted: the image size moved, once per iteration.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/BenchRuns.h"
#include "engine/cpu/CpuBackend.h"
#include "engine/ThreadParallel.h"

namespace {

constexpr int kW = 3840, kH = 2160;

struct Frame {
  fm::ThreadParallel par{0};
  fm::CpuBackend be{&par, nullptr, nullptr};
  fm::Buffer src, dst;
  Frame() {
    if (!be.allocImage(src, kW, kH) || !be.allocImage(dst, kW, kH)) std::abort();
    float* s = static_cast<float*>(src.data);
    const size_t n = size_t(src.pitch) * kH * 4;
    for (size_t i = 0; i < n; ++i) s[i] = float(i % 1021) * (1.0f / 1021.0f);
    std::memset(dst.data, 0, n * 4);
  }
  ~Frame() {
    be.freeImage(src);
    be.freeImage(dst);
  }
  size_t bytes() const { return size_t(src.pitch) * kH * 16; }
};

Frame& frame() {
  static Frame f;
  return f;
}

void BM_memcpy(benchmark::State& state) {
  Frame& f = frame();
  for (auto _ : state) {
    std::memcpy(f.dst.data, f.src.data, f.bytes());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.bytes()));
}

void runKernel(benchmark::State& state, int kernel, int flags) {
  Frame& f = frame();
  for (auto _ : state) {
    FMParams p;
    fm::makeParams(p, &f.dst, &f.src, nullptr);
    p.flags = flags;
    if (!fm::launchFull(f.be, kernel, f.dst, &f.src, p)) state.SkipWithError("launch failed");
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(f.bytes()));
  state.counters["threads"] = f.par.threadCount();
}

void BM_fm_copy(benchmark::State& s) { runKernel(s, FM_K_COPY, 0); }
void BM_fm_import(benchmark::State& s) { runKernel(s, FM_K_IMPORT, 0); }
void BM_fm_import_bgra(benchmark::State& s) { runKernel(s, FM_K_IMPORT, FM_F_SWAP_RB); }
void BM_fm_export(benchmark::State& s) { runKernel(s, FM_K_EXPORT, 0); }
void BM_fm_export_clamp(benchmark::State& s) { runKernel(s, FM_K_EXPORT, FM_F_CLAMP01 | FM_F_SWAP_RB); }

BENCHMARK(BM_memcpy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_fm_copy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_fm_import)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_fm_import_bgra)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_fm_export)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_fm_export_clamp)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  fmbench::printMachine("fm_bench_transfer", frame().par.threadCount());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
