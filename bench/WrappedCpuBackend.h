// The CPU backend behind a wrapper whose launch a benchmark can override to measure or count
// what the engine asks for; everything else goes straight to the CPU backend.
#pragma once

#include "engine/CpuBackend.h"

namespace fmbench {

class WrappedCpuBackend : public fm::Backend {
 public:
  explicit WrappedCpuBackend(fm::Parallel* par) : cpu(par, nullptr, nullptr) {}
  bool allocImage(fm::Buffer& b, int w, int h) override { return cpu.allocImage(b, w, h); }
  void freeImage(fm::Buffer& b) override { cpu.freeImage(b); }
  bool uploadTable(fm::Table& t, const float* v, size_t n) override { return cpu.uploadTable(t, v, n); }
  void freeTable(fm::Table& t) override { cpu.freeTable(t); }
  bool launch(int k, fm::Buffer* d, const fm::Buffer* a, const fm::Buffer* b, const fm::Table* t, FMParams* p,
              int gw, int gh, double cost) override {
    return cpu.launch(k, d, a, b, t, p, gw, gh, cost);
  }
  bool isGpu() const override { return false; }
  bool download(const fm::Buffer& b, void* host) override { return cpu.download(b, host); }
  bool wasAborted() const override { return cpu.wasAborted(); }

  fm::CpuBackend cpu;
};

}  // namespace fmbench
