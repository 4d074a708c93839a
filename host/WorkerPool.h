// The host's threads for generic iteration: jobs handed out one at a time to the worker threads
// and the calling thread, which takes part, so that several renders can iterate at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "host/EffectInterface.h"

namespace fm::host {

class WorkerPool {
 public:
  // threads in all, the calling thread included; below 1 means one per processor.
  explicit WorkerPool(int threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int threads() const { return int(workers_.size()) + 1; }

  // Runs job for every index in [0, count), the calling thread as thread 0. Once a job returns
  // an error no further job starts; the first error is returned when the running ones are done.
  PF_Err iterate(int32_t count, void* context, PF_IterateJob job);

 private:
  struct Batch {
    int32_t count;
    void* context;
    PF_IterateJob job;
    std::atomic<int32_t> next{0};
    std::atomic<bool> stopped{false};
    std::atomic<PF_Err> error{PF_Err_None};
    int32_t users = 0;  // worker threads inside it; guarded by the pool's mutex
  };
  static bool runOne(Batch& batch, int32_t threadIndex);
  static bool hasWork(const Batch& batch) {
    return !batch.stopped.load() && batch.next.load() < batch.count;
  }
  void work(int32_t threadIndex);

  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::deque<Batch*> batches_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace fm::host
