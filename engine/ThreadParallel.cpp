#include "engine/ThreadParallel.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "engine/Platform.h"

namespace fm {
namespace {

struct WorkQueue {
  std::atomic<int> next{0};
  int count = 0;
  void* ctx = nullptr;
  void (*fn)(void*, int) = nullptr;

  void work() {
    for (;;) {
      const int i = next.fetch_add(1);
      if (i >= count) return;
      fn(ctx, i);
    }
  }
};

}  // namespace

int ThreadParallel::resolveThreads(int requested, int processors) {
  if (requested >= 1) return requested;
  return processors > 0 ? processors : 1;
}

ThreadParallel::ThreadParallel(int requested)
    : threads(resolveThreads(requested, requested >= 1 ? 0 : activeProcessorCount())) {}

bool ThreadParallel::run(int count, void* ctx, void (*fn)(void* ctx, int index)) {
  if (count < 1) return true;
  const int n = std::min(count, threads);
  if (n <= 1) {
    for (int i = 0; i < count; ++i) fn(ctx, i);
    return true;
  }
  WorkQueue q;
  q.count = count;
  q.ctx = ctx;
  q.fn = fn;
  std::vector<std::thread> pool;
  // A thread that cannot be had is skipped: the calling thread alone still finishes the work.
  try {
    pool.reserve(size_t(n - 1));
    for (int i = 0; i < n - 1; ++i) pool.emplace_back([&q] { q.work(); });
  } catch (...) {
  }
  q.work();
  for (std::thread& t : pool) t.join();
  return true;
}

}  // namespace fm
