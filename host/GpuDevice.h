// The GPU device a headless host offers a module: an OpenCL device (a GPU, or a CPU device such
// as PoCL) or a CUDA device, reached through the runtime loaders and the runtimes' own discovery
// entry points. The host allocates device memory for the module and for its device worlds, and
// moves frames in and out of it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/EffectInterface.h"
#include "host/HostProfile.h"

namespace fm::host {

class GpuDevice {
 public:
  // The device `choice` asks for: Cuda the first CUDA device; OpenCL an OpenCL GPU, else any
  // OpenCL device; Auto CUDA, then an OpenCL GPU. Null with the reason when there is none.
  static std::unique_ptr<GpuDevice> open(GpuChoice choice, std::string* why);

  virtual ~GpuDevice() = default;
  virtual int32_t framework() const = 0;  // PF_GpuFramework_*
  virtual const std::string& name() const = 0;
  // What the device suite reports: the framework's context, device and queue or stream.
  virtual PF_GpuDeviceInfo info() const = 0;

  // Memory usable as a kernel argument of the framework: a buffer object or a device address.
  virtual bool allocate(uint64_t bytes, void** memory) = 0;
  virtual void release(void* memory) = 0;
  // Whole copies between host memory and the start of device memory, after queued work.
  virtual bool upload(void* memory, const void* host, size_t bytes) = 0;
  virtual bool download(void* host, void* memory, size_t bytes) = 0;
};

struct GpuDeviceListing {
  std::string framework;  // "CUDA" or "OpenCL"
  std::string name;
  std::string kind;  // "GPU", "CPU" or "other"
};

// Every device the runtimes present report; `notes` receives one line per runtime that is
// missing or reports none.
std::vector<GpuDeviceListing> listGpuDevices(std::vector<std::string>* notes);

}  // namespace fm::host
