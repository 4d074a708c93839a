#include "plugin/GpuFailures.h"

#include <atomic>
#include <chrono>

#include "plugin/Log.h"

namespace fm {
namespace {

constexpr double kSwitchOffSeconds = 60;

double systemClock() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return double(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()) / 1e9;
}

std::atomic<MonotonicClock> clockFunction{&systemClock};
std::atomic<int> failureCount{0};
std::atomic<double> gpuOffUntil{0};

}  // namespace

double monotonicSeconds() { return clockFunction.load(std::memory_order_acquire)(); }

void setMonotonicClock(MonotonicClock clock) {
  clockFunction.store(clock ? clock : &systemClock, std::memory_order_release);
}

bool gpuOffElapsed() { return monotonicSeconds() >= gpuOffUntil.load(std::memory_order_acquire); }

void noteGpuSuccess() { failureCount.store(0, std::memory_order_release); }

void noteGpuFailure(const char* message) {
  const int previous = failureCount.fetch_add(1, std::memory_order_acq_rel);
  logFormatted("GPU render failed (%s), rendered on the CPU instead",
               message && *message ? message : "?");
  if (previous > 0) {
    gpuOffUntil.store(monotonicSeconds() + kSwitchOffSeconds, std::memory_order_release);
    failureCount.store(0, std::memory_order_release);
    logLine("GPU switched off for 60 s after repeated failures");
  }
}

}  // namespace fm
