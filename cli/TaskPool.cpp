#include "cli/TaskPool.h"

namespace fm::cli {

TaskPool::TaskPool(int threads) {
  for (int i = 0; i < (threads < 1 ? 1 : threads); ++i) threads_.emplace_back([this] { work(); });
}

TaskPool::~TaskPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void TaskPool::run(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

size_t TaskPool::waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tasks_.size();
}

void TaskPool::dropWaiting() {
  std::lock_guard<std::mutex> lock(mutex_);
  tasks_.clear();
  if (busy_ == 0) idle_.notify_all();
}

void TaskPool::waitIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return tasks_.empty() && busy_ == 0; });
}

void TaskPool::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
    if (tasks_.empty()) return;  // stopping, with nothing left to run
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    ++busy_;
    lock.unlock();
    task();
    lock.lock();
    --busy_;
    if (tasks_.empty() && busy_ == 0) idle_.notify_all();
  }
}

}  // namespace fm::cli
