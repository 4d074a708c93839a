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

double physicalMemoryBytes() {
#if defined(_WIN32)
  MEMORYSTATUSEX status;
  status.dwLength = sizeof(status);
  return GlobalMemoryStatusEx(&status) ? double(status.ullTotalPhys) : 0.0;
#else
  const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGE_SIZE);
  return pages > 0 && size > 0 ? double(pages) * double(size) : 0.0;
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
