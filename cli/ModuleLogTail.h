// The lines the effect module appends to its log while this program runs: the module has no
// console, so -v shows them (GPU fallbacks, the GPU switch-off, a device it cannot use).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fm::cli {

class ModuleLogTail {
 public:
  // Starts at the log's current end: what it held before is not this run's.
  ModuleLogTail();

  // The whole lines appended since the last call. A log emptied in between (the module keeps it
  // short) is read from its start.
  std::vector<std::string> newLines();

 private:
  std::string path_;
  uint64_t offset_ = 0;
};

}  // namespace fm::cli
