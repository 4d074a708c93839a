#include "gpu/CLDirectAllocator.h"

#include "gpu/OpenCLLoader.h"

namespace fm {

bool CLDirectAllocator::allocate(size_t bytes, void** handle) {
  const OpenCLApi* cl = openCL();
  if (!cl || !handle) return false;
  cl_int error = kClSuccess;
  cl_mem mem = cl->createBuffer(context, kClMemReadWrite, bytes, nullptr, &error);
  if (error != kClSuccess || !mem) {
    if (mem) cl->releaseMemObject(mem);
    return false;
  }
  *handle = mem;
  return true;
}

void CLDirectAllocator::release(void* handle) {
  const OpenCLApi* cl = openCL();
  if (handle && cl) cl->releaseMemObject(static_cast<cl_mem>(handle));
}

}  // namespace fm
