#include "gpu/CudaLoader.h"

#include "gpu/RuntimeLibrary.h"

namespace fm {
namespace {

#if defined(_WIN32)
constexpr const char* kLibraryName = "nvcuda.dll";
#else
constexpr const char* kLibraryName = "libcuda.so.1";
#endif

// Written once under the loader's lock, before the loader publishes its loaded state.
CudaApi gApi;

bool bindCuda(void* library) {
  CudaApi& a = gApi;
  bool ok = bindEntry(library, "cuInit", a.init);
  ok = bindEntry(library, "cuModuleLoadDataEx", a.moduleLoadDataEx) && ok;
  ok = bindEntry(library, "cuModuleUnload", a.moduleUnload) && ok;
  ok = bindEntry(library, "cuModuleGetFunction", a.moduleGetFunction) && ok;
  ok = bindEntry(library, "cuLaunchKernel", a.launchKernel) && ok;
  ok = bindEntry(library, "cuMemAlloc_v2", a.memAlloc) && ok;
  ok = bindEntry(library, "cuMemFree_v2", a.memFree) && ok;
  ok = bindEntry(library, "cuMemcpyHtoDAsync_v2", a.memcpyHtoDAsync) && ok;
  ok = bindEntry(library, "cuMemcpyHtoD_v2", a.memcpyHtoD) && ok;
  ok = bindEntry(library, "cuMemcpyDtoH_v2", a.memcpyDtoH) && ok;
  ok = bindEntry(library, "cuStreamSynchronize", a.streamSynchronize) && ok;
  ok = bindEntry(library, "cuCtxPushCurrent_v2", a.ctxPushCurrent) && ok;
  ok = bindEntry(library, "cuCtxPopCurrent_v2", a.ctxPopCurrent) && ok;
  ok = bindEntry(library, "cuCtxGetCurrent", a.ctxGetCurrent) && ok;
  // The driver refuses every other call until it is initialised.
  return ok && a.init(0) == kCudaSuccess;
}

RuntimeLoader& loader() {
  static RuntimeLoader instance(kLibraryName, bindCuda);
  return instance;
}

}  // namespace

const CudaApi* loadCuda() { return loader().load() ? &gApi : nullptr; }

const CudaApi* cuda() { return loader().loaded() ? &gApi : nullptr; }

void* cudaSymbol(const char* name) { return runtimeSymbol(loader().library(), name); }

bool useCudaLibraryForTesting(const char* path) { return loader().useLibraryForTesting(path); }

CudaContextScope::CudaContextScope(const CudaApi& cu, CUcontext context) : cu(cu) {
  pushed = context && cu.ctxPushCurrent(context) == kCudaSuccess;
}

CudaContextScope::~CudaContextScope() {
  CUcontext popped = nullptr;
  if (pushed) cu.ctxPopCurrent(&popped);
}

}  // namespace fm
