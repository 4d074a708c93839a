// Backend that runs the kernels on the processor, in chunks of rows on a parallel-for.
#pragma once

#include "engine/Backend.h"
#include "engine/cpu/CpuIsa.h"

namespace fm {

class CpuBackend final : public Backend {
 public:
  using AbortQuery = bool (*)(void* context);

  // `parallel` is not owned; null runs every launch on the calling thread. Kernels run at the
  // process's instruction-set level (cpuIsa), or at `isa` where the processor supports it.
  CpuBackend(Parallel* parallel, AbortQuery abortQuery, void* abortContext, CpuIsa isa = cpuIsa());

  bool allocImage(Buffer& buf, int width, int height) override;
  void freeImage(Buffer& buf) override;
  bool uploadTable(Table& tab, const float* values, size_t count) override;
  void freeTable(Table& tab) override;
  bool launch(int kernel, Buffer* dst, const Buffer* srcA, const Buffer* srcB, const Table* tab,
              FMParams* p, int gridW, int gridH, double cost) override;
  bool isGpu() const override { return false; }
  bool download(const Buffer& buf, void* host) override;
  bool wasAborted() const override { return aborted; }
  // Box passes along one axis run fused, each group of rows or strip of columns carried
  // through every link while it is in the cache, and so does a direct rows pass with the
  // column pass after it, tile by tile, and so do Jacobi steps of the flow's refinement, band by
  // band; other chains launch link by link.
  bool launchChain(ChainLink* links, int count) override;

  // Limits of an engine image on the CPU.
  static constexpr int kRowGranularity = 4;
  static constexpr long long kMaxPixels = 1LL << 30;

 private:
  // Whether a launch's images and block can be run without reading or writing astray.
  static bool launchable(const Buffer* dst, const Buffer* srcA, const Buffer* srcB, const FMParams* p);
  // A chain of Jacobi steps, swept in bands of rows in one pass.
  bool launchRefineChain(ChainLink* links, int count);

  Parallel* parallel;
  AbortQuery abortQuery;
  void* abortContext;
  CpuIsa isa;
  bool aborted = false;
};

}  // namespace fm
