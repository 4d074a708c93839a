// A device allocator over another that keeps the books: every handle it gave must come back
// exactly once, and nothing else may. It can also run out, at the n-th request or past a number
// of bytes out at once.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine/Backend.h"

namespace fmtest {

class CountingGpuAllocator final : public fm::GpuAllocator {
 public:
  explicit CountingGpuAllocator(fm::GpuAllocator& inner) : inner(inner) {}

  bool allocate(size_t bytes, void** handle) override {
    std::lock_guard<std::mutex> guard(lock);
    ++requests;
    requestSizes.push_back(bytes);
    if ((failAt && requests == failAt) || bytes > budget - std::min(budget, bytesOut)) return false;
    void* h = nullptr;
    if (!inner.allocate(bytes, &h) || !h) return false;
    if (!live.emplace(h, bytes).second) faults.push_back("handle given twice");
    bytesOut += bytes;
    *handle = h;
    return true;
  }

  void release(void* handle) override {
    std::lock_guard<std::mutex> guard(lock);
    if (!handle) return;
    auto it = live.find(handle);
    if (it == live.end()) {
      faults.push_back("released a handle that is not out (twice, or never given)");
      return;
    }
    ++releases;
    bytesOut -= it->second;
    live.erase(it);
    inner.release(handle);
  }

  int liveHandles() const {
    std::lock_guard<std::mutex> guard(lock);
    return int(live.size());
  }
  bool isLive(void* handle) const {
    std::lock_guard<std::mutex> guard(lock);
    return live.count(handle) != 0;
  }

  int failAt = 0;              // the n-th request fails (0: none)
  size_t budget = SIZE_MAX;    // bytes that may be out at once
  int requests = 0, releases = 0;
  std::vector<size_t> requestSizes;
  std::vector<std::string> faults;

 private:
  fm::GpuAllocator& inner;
  mutable std::mutex lock;
  std::map<void*, size_t> live;
  size_t bytesOut = 0;
};

}  // namespace fmtest
