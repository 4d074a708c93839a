// An allocator for the OpenCL backend that takes device memory straight from the context, for
// settings without a host allocator (tools, tests, benchmarks).
#pragma once

#include "engine/Backend.h"
#include "gpu/OpenCLApi.h"

namespace fm {

class CLDirectAllocator final : public GpuAllocator {
 public:
  explicit CLDirectAllocator(cl_context context) : context(context) {}
  bool allocate(size_t bytes, void** handle) override;
  void release(void* handle) override;

 private:
  cl_context context;
};

}  // namespace fm
