// What the module keeps per GPU device the host announces: the device's compiled kernels, built
// once at device setup and shared by every GPU render on that device; and the host-backed device
// memory the per-render backends allocate from.
#pragma once

#include <cstdint>

#include "engine/Backend.h"
#include "gpu/CudaModule.h"
#include "gpu/OpenCLProgram.h"
#include "host/EffectInterface.h"

namespace fm {

// Handed to the host as the device's private data; lives until device setdown.
struct GpuDeviceRecord {
  int32_t framework = PF_GpuFramework_None;
  OpenCLProgram* opencl = nullptr;
  CudaModule* cuda = nullptr;
};

// Device memory from the host's GPU device suite, for one device.
class AeGpuAllocator final : public GpuAllocator {
 public:
  AeGpuAllocator(PF_EffectRef effect, uint32_t deviceIndex, const PF_GpuDeviceSuite1* suite)
      : effect_(effect), deviceIndex_(deviceIndex), suite_(suite) {}
  bool allocate(size_t bytes, void** handle) override;
  void release(void* handle) override;

 private:
  PF_EffectRef effect_;
  uint32_t deviceIndex_;
  const PF_GpuDeviceSuite1* suite_;
};

}  // namespace fm
