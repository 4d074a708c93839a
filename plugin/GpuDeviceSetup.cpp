// Device setup builds the device's kernels once; a device whose kernels cannot be made is
// refused, and the host then renders that device's frames on the CPU.
#include <memory>
#include <string>

#include "plugin/Commands.h"
#include "plugin/GpuDevice.h"
#include "plugin/Log.h"
#include "plugin/SuiteRef.h"

namespace fm {

bool AeGpuAllocator::allocate(size_t bytes, void** handle) {
  *handle = nullptr;
  if (!suite_ || !suite_->allocateDeviceMemory) return false;
  void* memory = nullptr;
  if (suite_->allocateDeviceMemory(effect_, deviceIndex_, bytes, &memory) != PF_Err_None || !memory) {
    return false;
  }
  *handle = memory;
  return true;
}

void AeGpuAllocator::release(void* handle) {
  if (handle && suite_ && suite_->freeDeviceMemory) suite_->freeDeviceMemory(effect_, deviceIndex_, handle);
}

PF_Err gpuDeviceSetup(const PF_InData* in, PF_OutData* out, PF_GpuDeviceSetupExtra* extra) {
  if (!in || !extra || !extra->input || !extra->output) return PF_Err_BadCallbackParam;
  extra->output->gpuData = nullptr;
  SuiteRef<PF_GpuDeviceSuite1> gpu(in, PF_GpuDeviceSuite, PF_GpuDeviceSuiteVersion);
  if (!gpu || !gpu->getDeviceInfo) return PF_Err_None;
  const uint32_t index = extra->input->deviceIndex;
  PF_GpuDeviceInfo info{};
  if (PF_Err err = gpu->getDeviceInfo(in->effect, index, &info)) return err;

  auto record = std::make_unique<GpuDeviceRecord>();
  record->framework = info.framework;
  std::string message;
  switch (info.framework) {
    case PF_GpuFramework_OpenCL:
      record->opencl = buildOpenCLProgram(static_cast<cl_context>(info.context),
                                          static_cast<cl_device_id>(info.device), &message);
      break;
    case PF_GpuFramework_Cuda:
      record->cuda = loadCudaModule(static_cast<CUcontext>(info.context), &message);
      break;
    default:
      message = "framework " + std::to_string(info.framework) + " not supported";
      break;
  }
  if (!record->opencl && !record->cuda) {
    logFormatted("GPU device %u: %s (rendering on the CPU)", unsigned(index), message.c_str());
    return PF_Err_None;
  }
  extra->output->gpuData = record.release();
  if (out) out->outFlags2 |= PF_OutFlag2_SupportsGpuRenderF32;
  return PF_Err_None;
}

PF_Err gpuDeviceSetdown(PF_GpuDeviceSetdownExtra* extra) {
  if (!extra || !extra->input) return PF_Err_BadCallbackParam;
  auto* record = static_cast<GpuDeviceRecord*>(extra->input->gpuData);
  if (!record) return PF_Err_None;
  destroyCudaModule(record->cuda);
  destroyOpenCLProgram(record->opencl);
  delete record;
  extra->input->gpuData = nullptr;
  return PF_Err_None;
}

}  // namespace fm
