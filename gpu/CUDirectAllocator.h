// An allocator for the CUDA backend that takes device memory straight from the driver, in the
// context current on the calling thread, for settings without a host allocator (tools, tests,
// benchmarks).
#pragma once

#include "engine/Backend.h"

namespace fm {

class CUDirectAllocator final : public GpuAllocator {
 public:
  bool allocate(size_t bytes, void** handle) override;
  void release(void* handle) override;
};

}  // namespace fm
