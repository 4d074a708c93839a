// Instrumented stand-ins for the parallel-for and the backend.
#pragma once

#include <atomic>
#include <vector>

#include "engine/Backend.h"
#include "engine/CpuBackend.h"

namespace fmtest {

// Reports a chosen thread count and runs jobs in order on the calling thread, recording
// every call; can pretend the host stopped the run.
class RecordingParallel final : public fm::Parallel {
 public:
  explicit RecordingParallel(int threads) : threads(threads) {}
  int threadCount() override { return threads; }
  bool run(int count, void* ctx, void (*fn)(void*, int)) override {
    counts.push_back(count);
    for (int i = 0; i < count; ++i) fn(ctx, i);
    return result;
  }
  int threads;
  bool result = true;
  std::vector<int> counts;
};

// A CPU backend that counts what is alive and can be told to fail the n-th allocation or
// launch (0 = never), so failure paths can be checked for leaks and messages.
class CountingBackend final : public fm::Backend {
 public:
  explicit CountingBackend(fm::Parallel* par, fm::CpuBackend::AbortQuery q = nullptr, void* ctx = nullptr)
      : cpu(par, q, ctx) {}

  bool allocImage(fm::Buffer& b, int w, int h) override {
    ++allocCalls;
    if (failAlloc && allocCalls == failAlloc) return false;
    if (!cpu.allocImage(b, w, h)) return false;
    ++liveImages;
    return true;
  }
  void freeImage(fm::Buffer& b) override {
    if (b.data && b.owned) --liveImages;
    cpu.freeImage(b);
  }
  bool uploadTable(fm::Table& t, const float* v, size_t n) override {
    if (!cpu.uploadTable(t, v, n)) return false;
    ++liveTables;
    return true;
  }
  void freeTable(fm::Table& t) override {
    if (t.data) --liveTables;
    cpu.freeTable(t);
  }
  bool launch(int k, fm::Buffer* d, const fm::Buffer* a, const fm::Buffer* b, const fm::Table* t,
              FMParams* p, int gw, int gh, double cost) override {
    ++launchCalls;
    kernels.push_back(k);
    costs.push_back(cost);
    if (failLaunch && launchCalls == failLaunch) return false;
    return cpu.launch(k, d, a, b, t, p, gw, gh, cost);
  }
  bool isGpu() const override { return false; }
  bool download(const fm::Buffer& b, void* host) override { return cpu.download(b, host); }
  bool wasAborted() const override { return cpu.wasAborted(); }

  fm::CpuBackend cpu;
  int allocCalls = 0, launchCalls = 0;
  int failAlloc = 0, failLaunch = 0;
  int liveImages = 0, liveTables = 0;
  std::vector<int> kernels;
  std::vector<double> costs;
};

// A CPU backend that fills every image it hands out with one value, and counts live images.
// Output pixels a render forgets to write keep that value, so two renders that differ only in
// it differ there.
class PoisonBackend final : public fm::Backend {
 public:
  PoisonBackend(fm::Parallel* par, float poison) : cpu(par, nullptr, nullptr), poison(poison) {}

  bool allocImage(fm::Buffer& b, int w, int h) override {
    if (!cpu.allocImage(b, w, h)) return false;
    float* f = static_cast<float*>(b.data);
    for (size_t i = 0, n = size_t(b.pitch) * size_t(b.height) * 4; i < n; ++i) f[i] = poison;
    ++liveImages;
    return true;
  }
  void freeImage(fm::Buffer& b) override {
    if (b.data && b.owned) --liveImages;
    cpu.freeImage(b);
  }
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
  float poison;
  int liveImages = 0;
};

}  // namespace fmtest
