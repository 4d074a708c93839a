#include "host/WorkerPool.h"

#include <algorithm>

namespace fm::host {

WorkerPool::WorkerPool(int threads) {
  if (threads < 1) threads = int(std::max(1u, std::thread::hardware_concurrency()));
  // A thread that cannot be had is done without: the calling thread alone still finishes.
  try {
    for (int i = 1; i < threads; ++i) workers_.emplace_back([this, i] { work(i); });
  } catch (...) {
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : workers_) t.join();
}

bool WorkerPool::runOne(Batch& batch, int32_t threadIndex) {
  if (batch.stopped.load()) return false;
  const int32_t i = batch.next.fetch_add(1);
  if (i >= batch.count) return false;
  const PF_Err err = batch.job(batch.context, threadIndex, i, batch.count);
  if (err != PF_Err_None) {
    PF_Err none = PF_Err_None;
    batch.error.compare_exchange_strong(none, err);
    batch.stopped.store(true);
  }
  return true;
}

void WorkerPool::work(int32_t threadIndex) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    Batch* batch = nullptr;
    wake_.wait(lock, [&] {
      const auto it = std::find_if(batches_.begin(), batches_.end(),
                                   [](const Batch* b) { return hasWork(*b); });
      batch = it == batches_.end() ? nullptr : *it;
      return stopping_ || batch;
    });
    if (!batch) return;
    ++batch->users;
    lock.unlock();
    while (runOne(*batch, threadIndex)) {
    }
    lock.lock();
    if (--batch->users == 0) idle_.notify_all();
  }
}

PF_Err WorkerPool::iterate(int32_t count, void* context, PF_IterateJob job) {
  if (count <= 0) return PF_Err_None;
  if (!job) return PF_Err_BadCallbackParam;
  Batch batch;
  batch.count = count;
  batch.context = context;
  batch.job = job;
  if (!workers_.empty() && count > 1) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      batches_.push_back(&batch);
    }
    wake_.notify_all();
  }
  while (runOne(batch, 0)) {
  }
  // Every index is claimed or the batch stopped; wait for the workers still running its jobs.
  std::unique_lock<std::mutex> lock(mutex_);
  const auto it = std::find(batches_.begin(), batches_.end(), &batch);
  if (it != batches_.end()) batches_.erase(it);
  idle_.wait(lock, [&] { return batch.users == 0; });
  return batch.error.load();
}

}  // namespace fm::host
