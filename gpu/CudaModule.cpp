#include "gpu/CudaModule.h"

#include <algorithm>
#include <cstdint>
#include <memory>

#include "engine/Backend.h"
#include "gpu/CudaLoader.h"
#include "gpu/KernelTexts.h"

namespace fm {
namespace {

constexpr size_t kJitLogBytes = 4096;

void say(std::string* message, std::string text) {
  if (message) *message = std::move(text);
}

}  // namespace

CudaModule* loadCudaModule(CUcontext context, std::string* message) {
  const CudaApi* cu = loadCuda();
  if (!cu) {
    say(message, "CUDA driver not found");
    return nullptr;
  }
  std::unique_ptr<CudaModule> made(new CudaModule());
  made->context = context;
  CudaContextScope scope(*cu, context);
  char log[kJitLogBytes] = {};
  CUjit_option options[2] = {kCuJitErrorLogBuffer, kCuJitErrorLogBufferSizeBytes};
  // Option values travel in pointer slots, the size as a number.
  void* values[2] = {log, reinterpret_cast<void*>(uintptr_t(sizeof log))};
  const CUresult loaded = cu->moduleLoadDataEx(&made->module, ptxKernelText(), 2, options, values);
  if (loaded != kCudaSuccess || !made->module) {
    // A driver may fill the whole buffer: the log ends at its size, not at a terminator.
    say(message, "cuModuleLoadDataEx failed " + std::to_string(loaded) + ": " +
                     std::string(log, std::find(log, log + sizeof log, '\0')));
    return nullptr;
  }
  for (int k = 0; k < FM_KERNEL_COUNT; ++k) {
    if (cu->moduleGetFunction(&made->functions[k], made->module, kernelName(k)) != kCudaSuccess ||
        !made->functions[k]) {
      say(message, std::string("cuModuleGetFunction failed: ") + kernelName(k));
      // Still under the context the module was loaded in.
      cu->moduleUnload(made->module);
      return nullptr;
    }
  }
  return made.release();
}

void destroyCudaModule(CudaModule* module) {
  if (!module) return;
  if (const CudaApi* cu = cuda()) {
    CudaContextScope scope(*cu, module->context);
    if (module->module) cu->moduleUnload(module->module);
  }
  delete module;
}

}  // namespace fm
