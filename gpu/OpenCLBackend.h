// The engine on an OpenCL device: one backend per render, issuing work on the host's command queue
// with the device's shared program object.
#pragma once

#include "gpu/GpuBackendBase.h"
#include "gpu/OpenCLProgram.h"

namespace fm {

class OpenCLBackend final : public GpuBackendBase {
 public:
  // Neither the program object nor the queue is owned.
  OpenCLBackend(GpuAllocator* allocator, OpenCLProgram* program, cl_command_queue queue);
  // Finishes the queue before anything goes back to the allocator.
  ~OpenCLBackend() override;

  bool readImage(const Buffer& buf, void* host) override;
  bool writeImage(const Buffer& buf, const void* host) override;

 protected:
  bool enqueueKernel(int kernel, Buffer* dst, const Buffer* srcA, const Buffer* srcB, const Table* tab,
                     const FMParams* p, int gridW, int rows) override;
  bool writeMemory(void* device, const void* host, size_t bytes) override;
  bool finish() override;

 private:
  // Decided once per backend: an out-of-order queue needs a barrier after each command so that
  // work still runs in issue order.
  bool queueIsOutOfOrder();
  bool barrier();
  bool wholeImage(const Buffer& buf, const void* host) const;

  OpenCLProgram* program;
  cl_command_queue queue;
  int queueOrder = -1;  // -1 not yet known, 0 in order, 1 out of order
};

}  // namespace fm
