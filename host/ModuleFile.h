// A module file on disk, before any of its code runs: its embedded property list, and a
// private copy to load.
#pragma once

#include <string>
#include <vector>

namespace fm::host {

// The property-list bytes the module at path carries (the ".pipl" section of an ELF module, the
// "PiPL" resource of a Windows one). false with a reason when the file is no module or carries
// none.
bool readPropertyListBytes(const std::string& path, std::vector<unsigned char>* bytes,
                           std::string* error);

// A copy of the file in a fresh temporary folder. Loading the copy gives a module with its own
// process-wide state, as a freshly started host would see it.
class PrivateCopy {
 public:
  bool make(const std::string& path, std::string* error);
  ~PrivateCopy();
  const std::string& path() const { return path_; }

 private:
  std::string folder_, path_;
};

}  // namespace fm::host
