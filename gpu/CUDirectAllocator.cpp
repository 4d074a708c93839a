#include "gpu/CUDirectAllocator.h"

#include "gpu/CudaLoader.h"

namespace fm {

bool CUDirectAllocator::allocate(size_t bytes, void** handle) {
  const CudaApi* cu = cuda();
  CUdeviceptr address = 0;
  if (!cu || !handle || cu->memAlloc(&address, bytes) != kCudaSuccess || !address) return false;
  *handle = deviceHandle(address);
  return true;
}

void CUDirectAllocator::release(void* handle) {
  const CudaApi* cu = cuda();
  if (handle && cu) cu->memFree(devicePointer(handle));
}

}  // namespace fm
