// The engine's own parallel-for on standard threads, started per call.
#pragma once

#include "engine/Backend.h"

namespace fm {

class ThreadParallel final : public Parallel {
 public:
  // A count below 1 means every active logical processor.
  explicit ThreadParallel(int requested);

  int threadCount() override { return threads; }
  bool run(int count, void* ctx, void (*fn)(void* ctx, int index)) override;

  // The thread count for a request, given what the machine reports (0 = unknown).
  static int resolveThreads(int requested, int processors);

 private:
  int threads;
};

}  // namespace fm
