// The OpenCL runtime, loaded by name on first use (OpenCL.dll on Windows, libOpenCL.so.1
// elsewhere) and kept for the life of the process.
#pragma once

#include "gpu/OpenCLApi.h"

namespace fm {

// The runtime's entry points, loading it on the first call; null when the library or a required
// entry point is missing. Loading is tried once per process.
const OpenCLApi* loadOpenCL();

// The entry points when an earlier call loaded the runtime, else null; never tries to load.
const OpenCLApi* openCL();

// Another exported symbol of the loaded runtime (for tools that discover devices themselves);
// null when the runtime is not loaded or has no such symbol.
void* openCLSymbol(const char* name);

// Tests only: makes the first load open `path` (a stand-in runtime) instead of the system's. False
// once loading was tried.
bool useOpenCLLibraryForTesting(const char* path);

}  // namespace fm
