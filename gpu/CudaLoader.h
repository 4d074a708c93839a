// The CUDA driver, loaded by name on first use (nvcuda.dll on Windows, libcuda.so.1 elsewhere),
// initialised once and kept for the life of the process.
#pragma once

#include "gpu/CudaApi.h"

namespace fm {

// The driver's entry points, loading it on the first call; null when the library or an entry
// point is missing or cuInit(0) fails. Loading is tried once per process.
const CudaApi* loadCuda();

// The entry points when an earlier call loaded the driver, else null; never tries to load.
const CudaApi* cuda();

// Another exported symbol of the loaded driver (for tools that discover devices themselves);
// null when the driver is not loaded or has no such symbol.
void* cudaSymbol(const char* name);

// Tests only: makes the first load open `path` (a stand-in driver) instead of the system's. False
// once loading was tried.
bool useCudaLibraryForTesting(const char* path);

// Makes `context` current on the calling thread for the scope's life; a null context, or a push
// the driver refuses, leaves the thread as it was.
class CudaContextScope {
 public:
  CudaContextScope(const CudaApi& cu, CUcontext context);
  ~CudaContextScope();
  CudaContextScope(const CudaContextScope&) = delete;
  CudaContextScope& operator=(const CudaContextScope&) = delete;

 private:
  const CudaApi& cu;
  bool pushed = false;
};

}  // namespace fm
