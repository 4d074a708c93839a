// A few threads for file reading and writing beside the renders: tasks run in the order given.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace fm::cli {

class TaskPool {
 public:
  explicit TaskPool(int threads);
  // Runs what was queued, then stops the threads.
  ~TaskPool();
  TaskPool(const TaskPool&) = delete;
  TaskPool& operator=(const TaskPool&) = delete;

  void run(std::function<void()> task);
  // Tasks queued and not yet started.
  size_t waiting() const;
  // Drops the tasks not yet started.
  void dropWaiting();
  // Until every task queued so far has finished.
  void waitIdle();

 private:
  void work();

  mutable std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::deque<std::function<void()>> tasks_;
  int busy_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace fm::cli
