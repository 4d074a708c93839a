#include "gpu/OpenCLLoader.h"

#include "gpu/RuntimeLibrary.h"

namespace fm {
namespace {

#if defined(_WIN32)
constexpr const char* kLibraryName = "OpenCL.dll";
#else
constexpr const char* kLibraryName = "libOpenCL.so.1";
#endif

// Written once under the loader's lock, before the loader publishes its loaded state.
OpenCLApi gApi;

template <class Fn>
bool take(void* library, const char* name, Fn& slot, bool required) {
  return bindEntry(library, name, slot) || !required;
}

bool bindOpenCL(void* library) {
  OpenCLApi& a = gApi;
  bool ok = take(library, "clCreateProgramWithSource", a.createProgramWithSource, true);
  ok = take(library, "clBuildProgram", a.buildProgram, true) && ok;
  ok = take(library, "clGetProgramBuildInfo", a.getProgramBuildInfo, true) && ok;
  ok = take(library, "clCreateKernel", a.createKernel, true) && ok;
  ok = take(library, "clReleaseKernel", a.releaseKernel, true) && ok;
  ok = take(library, "clReleaseProgram", a.releaseProgram, true) && ok;
  ok = take(library, "clSetKernelArg", a.setKernelArg, true) && ok;
  ok = take(library, "clEnqueueNDRangeKernel", a.enqueueNDRangeKernel, true) && ok;
  ok = take(library, "clCreateBuffer", a.createBuffer, true) && ok;
  ok = take(library, "clReleaseMemObject", a.releaseMemObject, true) && ok;
  ok = take(library, "clEnqueueWriteBuffer", a.enqueueWriteBuffer, true) && ok;
  ok = take(library, "clEnqueueReadBuffer", a.enqueueReadBuffer, true) && ok;
  ok = take(library, "clFinish", a.finish, true) && ok;
  take(library, "clGetCommandQueueInfo", a.getCommandQueueInfo, false);
  take(library, "clEnqueueBarrierWithWaitList", a.enqueueBarrierWithWaitList, false);
  take(library, "clEnqueueBarrier", a.enqueueBarrier, false);
  return ok;
}

RuntimeLoader& loader() {
  static RuntimeLoader instance(kLibraryName, bindOpenCL);
  return instance;
}

}  // namespace

const OpenCLApi* loadOpenCL() { return loader().load() ? &gApi : nullptr; }

const OpenCLApi* openCL() { return loader().loaded() ? &gApi : nullptr; }

void* openCLSymbol(const char* name) { return runtimeSymbol(loader().library(), name); }

bool useOpenCLLibraryForTesting(const char* path) { return loader().useLibraryForTesting(path); }

}  // namespace fm
