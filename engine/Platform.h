// Small platform queries with a Windows and a POSIX implementation.
#pragma once

#include <cstddef>

namespace fm {

// Active logical processors across all processor groups; 0 when unknown.
int activeProcessorCount();

// Physical memory of the machine in bytes; 0 when unknown.
double physicalMemoryBytes();

// Asks the system to back [p, p + bytes) with huge pages; a hint, silently ignored where
// unsupported.
void adviseHugePages(void* p, size_t bytes);

}  // namespace fm
