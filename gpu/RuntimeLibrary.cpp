#include "gpu/RuntimeLibrary.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace fm {

void* openRuntimeLibrary(const char* name) {
#if defined(_WIN32)
  return reinterpret_cast<void*>(LoadLibraryA(name));
#else
  return dlopen(name, RTLD_NOW | RTLD_LOCAL);
#endif
}

void* runtimeSymbol(void* library, const char* name) {
  if (!library) return nullptr;
#if defined(_WIN32)
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
#else
  return dlsym(library, name);
#endif
}

RuntimeLoader::RuntimeLoader(const char* libraryName, Bind bind) : name(libraryName), bind(bind) {}

bool RuntimeLoader::load() {
  if (loaded()) return true;
  std::lock_guard<std::mutex> guard(lock);
  if (state.load(std::memory_order_relaxed) != kNotTried) return loaded();
  // Failed first: a library that crashes or lacks an entry point is not tried again.
  state.store(kFailed, std::memory_order_relaxed);
  void* library = openRuntimeLibrary(name.c_str());
  if (!library || !bind(library)) return false;
  handle = library;
  state.store(kLoaded, std::memory_order_release);
  return true;
}

bool RuntimeLoader::useLibraryForTesting(const char* path) {
  std::lock_guard<std::mutex> guard(lock);
  if (state.load(std::memory_order_relaxed) != kNotTried) return false;
  name = path;
  return true;
}

}  // namespace fm
