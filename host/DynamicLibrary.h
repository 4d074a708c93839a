// A shared library loaded at run time (dlopen here, LoadLibrary on Windows).
#pragma once

#include <memory>
#include <string>

namespace fm::host {

class DynamicLibrary {
 public:
  // The library at path; null with the system's reason when it cannot be loaded.
  static std::unique_ptr<DynamicLibrary> open(const std::string& path, std::string* error);
  ~DynamicLibrary();
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // An exported function or object; null when the library has none of that name.
  void* symbol(const char* name) const;

 private:
  explicit DynamicLibrary(void* handle) : handle_(handle) {}
  void* handle_;
};

}  // namespace fm::host
