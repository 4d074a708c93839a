// The slice of the CUDA driver interface the backend calls, declared here so that nothing needs
// the CUDA toolkit's headers or the driver library: the driver is found by name when the program
// runs. Types and values are those of the published driver interface; they live in namespace fm
// so that a file may also include the official header without a clash.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define FM_CU_CALL __stdcall
#else
#define FM_CU_CALL
#endif

namespace fm {

using CUresult = int;
using CUjit_option = int;                 // an enumeration in the published header: int-sized
using CUdeviceptr = unsigned long long;  // 64-bit device addresses (the "_v2" entry points)

struct CudaContextObject;
struct CudaModuleObject;
struct CudaFunctionObject;
struct CudaStreamObject;
using CUcontext = CudaContextObject*;
using CUmodule = CudaModuleObject*;
using CUfunction = CudaFunctionObject*;
using CUstream = CudaStreamObject*;

constexpr CUresult kCudaSuccess = 0;
constexpr CUjit_option kCuJitErrorLogBuffer = 5;
constexpr CUjit_option kCuJitErrorLogBufferSizeBytes = 6;

// Engine handles hold device addresses in their pointer-sized data field.
inline CUdeviceptr devicePointer(const void* handle) { return CUdeviceptr(reinterpret_cast<uintptr_t>(handle)); }
inline void* deviceHandle(CUdeviceptr address) { return reinterpret_cast<void*>(uintptr_t(address)); }

// Entry points of the loaded driver; all required.
struct CudaApi {
  CUresult(FM_CU_CALL* init)(unsigned flags);
  CUresult(FM_CU_CALL* moduleLoadDataEx)(CUmodule* module, const void* image, unsigned optionCount,
                                         CUjit_option* options, void** optionValues);
  CUresult(FM_CU_CALL* moduleUnload)(CUmodule);
  CUresult(FM_CU_CALL* moduleGetFunction)(CUfunction* function, CUmodule, const char* name);
  CUresult(FM_CU_CALL* launchKernel)(CUfunction, unsigned gridX, unsigned gridY, unsigned gridZ, unsigned blockX,
                                     unsigned blockY, unsigned blockZ, unsigned sharedBytes, CUstream,
                                     void** arguments, void** extra);
  CUresult(FM_CU_CALL* memAlloc)(CUdeviceptr* address, size_t bytes);
  CUresult(FM_CU_CALL* memFree)(CUdeviceptr);
  CUresult(FM_CU_CALL* memcpyHtoDAsync)(CUdeviceptr to, const void* from, size_t bytes, CUstream);
  CUresult(FM_CU_CALL* memcpyHtoD)(CUdeviceptr to, const void* from, size_t bytes);
  CUresult(FM_CU_CALL* memcpyDtoH)(void* to, CUdeviceptr from, size_t bytes);
  CUresult(FM_CU_CALL* streamSynchronize)(CUstream);
  CUresult(FM_CU_CALL* ctxPushCurrent)(CUcontext);
  CUresult(FM_CU_CALL* ctxPopCurrent)(CUcontext* popped);
  CUresult(FM_CU_CALL* ctxGetCurrent)(CUcontext* current);
};

}  // namespace fm
