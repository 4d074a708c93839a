#include "engine/Platform.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
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

void adviseHugePages(void* p, size_t bytes) {
#if defined(MADV_HUGEPAGE)
  madvise(p, bytes, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

}  // namespace fm
