// Instrumented stand-ins for the parallel-for and the backend.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <vector>

#include "engine/Backend.h"
#include "engine/cpu/CpuBackend.h"
#include "engine/ForwardingBackend.h"
#include "tests/support/TestImage.h"

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
class CountingBackend final : public fm::ForwardingBackend<fm::CpuBackend> {
 public:
  explicit CountingBackend(fm::Parallel* par, fm::CpuBackend::AbortQuery q = nullptr, void* ctx = nullptr)
      : ForwardingBackend(par, q, ctx) {}

  bool allocImage(fm::Buffer& b, int w, int h) override {
    ++allocCalls;
    const int64_t pixels = int64_t(w) * h;
    largestRequest = std::max(largestRequest, pixels);
    if (failAlloc && allocCalls == failAlloc) return false;
    if (refuseAbovePixels && pixels > refuseAbovePixels) return false;
    if (!inner.allocImage(b, w, h)) return false;
    peakImages = std::max(peakImages, ++liveImages);
    return true;
  }
  void freeImage(fm::Buffer& b) override {
    if (b.data && b.owned) --liveImages;
    inner.freeImage(b);
  }
  bool uploadTable(fm::Table& t, const float* v, size_t n) override {
    if (!inner.uploadTable(t, v, n)) return false;
    ++liveTables;
    return true;
  }
  void freeTable(fm::Table& t) override {
    if (t.data) --liveTables;
    inner.freeTable(t);
  }
  bool launch(int k, fm::Buffer* d, const fm::Buffer* a, const fm::Buffer* b, const fm::Table* t,
              FMParams* p, int gw, int gh, double cost) override {
    ++launchCalls;
    kernels.push_back(k);
    costs.push_back(cost);
    if (failLaunch && launchCalls == failLaunch) return false;
    return inner.launch(k, d, a, b, t, p, gw, gh, cost);
  }

  int allocCalls = 0, launchCalls = 0;
  int failAlloc = 0, failLaunch = 0;
  // Images above this many pixels are refused (0 = no limit), so a test can see a render ask
  // for a huge image without it being allocated.
  int64_t refuseAbovePixels = 0, largestRequest = 0;
  int liveImages = 0, liveTables = 0, peakImages = 0;
  std::vector<int> kernels;
  std::vector<double> costs;
};

// A CPU backend that fills every image it hands out with one value, and counts live images.
// Output pixels a render forgets to write keep that value, so two renders that differ only in
// it differ there.
class PoisonBackend final : public fm::ForwardingBackend<fm::CpuBackend> {
 public:
  PoisonBackend(fm::Parallel* par, float poison) : ForwardingBackend(par, nullptr, nullptr), poison(poison) {}

  bool allocImage(fm::Buffer& b, int w, int h) override {
    if (!inner.allocImage(b, w, h)) return false;
    float* f = static_cast<float*>(b.data);
    for (size_t i = 0, n = size_t(b.pitch) * size_t(b.height) * 4; i < n; ++i) f[i] = poison;
    ++liveImages;
    return true;
  }
  void freeImage(fm::Buffer& b) override {
    if (b.data && b.owned) --liveImages;
    inner.freeImage(b);
  }

  float poison;
  int liveImages = 0;
};

// Abort queries for a CPU backend: one counts the polls (context: std::atomic<int>), the other
// (context: StopAt) answers "stop" from the n-th poll on.
inline bool countPolls(void* ctx) {
  ++*static_cast<std::atomic<int>*>(ctx);
  return false;
}
struct StopAt {
  int n;
  std::atomic<int> polls{0};
};
inline bool stopWhenDue(void* ctx) {
  StopAt& s = *static_cast<StopAt*>(ctx);
  return ++s.polls >= s.n;
}

// An engine image read back through its backend into a host image of its own size; false when
// there is no image or the download fails.
inline bool readImage(fm::Backend& be, const fm::Buffer& buf, HostImage& image) {
  if (!buf.data) return false;
  HostImage staged(buf.width, buf.height, buf.pitch);
  if (!be.download(buf, staged.data())) return false;
  image = HostImage(buf.width, buf.height);
  for (int y = 0; y < buf.height; ++y)
    for (int x = 0; x < buf.width; ++x) image.at(x, y) = staged.at(x, y);
  return true;
}

}  // namespace fmtest
