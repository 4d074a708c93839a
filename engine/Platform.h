// Small platform queries with a Windows and a POSIX implementation.
#pragma once

namespace fm {

// Active logical processors across all processor groups; 0 when unknown.
int activeProcessorCount();

}  // namespace fm
