// The engine on a CUDA device: one backend per render, issuing work on the host's stream with the
// device's shared module object.
#pragma once

#include "gpu/CudaModule.h"
#include "gpu/GpuBackendBase.h"

namespace fm {

class CudaBackend final : public GpuBackendBase {
 public:
  // Neither the module object nor the stream is owned.
  CudaBackend(GpuAllocator* allocator, CudaModule* module, CUstream stream);
  // Finishes the stream and gives memory back while the context is still current, then pops
  // the context enterContext pushed. Must run on the thread that called enterContext.
  ~CudaBackend() override;

  // Makes the module's context current on the calling thread (the render thread) until the
  // backend is destroyed; once per backend, nothing without a context. False when the driver is
  // not loaded, or when it refuses the push (lastError says so): nothing could run.
  bool enterContext();

  bool readImage(const Buffer& buf, void* host) override;
  bool writeImage(const Buffer& buf, const void* host) override;

 protected:
  bool enqueueKernel(int kernel, Buffer* dst, const Buffer* srcA, const Buffer* srcB, const Table* tab,
                     const FMParams* p, int gridW, int rows) override;
  bool writeMemory(void* device, const void* host, size_t bytes) override;
  bool finish() override;
  int maxBandRows(int gridW) const override;

 private:
  CudaModule* module;
  CUstream stream;
  bool contextPushed = false;
};

}  // namespace fm
