#include "engine/Platform.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fm {

int activeProcessorCount() {
#if defined(_WIN32)
  return int(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
#else
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? int(n) : 0;
#endif
}

}  // namespace fm
