// GPU runtimes are found by name when the program runs and never linked: the module must load on
// machines that have neither runtime. Each runtime is tried once per process and never unloaded.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

namespace fm {

// A shared library by file name or path (LoadLibraryA on Windows, dlopen elsewhere); null when it
// cannot be opened.
void* openRuntimeLibrary(const char* name);
// An exported symbol of an opened library; null when there is none of that name.
void* runtimeSymbol(void* library, const char* name);

// Points `slot` at the library's export `name`; false when there is none.
template <class Fn>
bool bindEntry(void* library, const char* name, Fn& slot) {
  slot = reinterpret_cast<Fn>(runtimeSymbol(library, name));
  return slot != nullptr;
}

// One runtime's process-wide loading: the first load() opens the library and lets `bind` take its
// entry points (and initialise it where the runtime needs that); its outcome then holds for the
// life of the process, whatever thread asks.
class RuntimeLoader {
 public:
  // False when the runtime is unusable (a required entry point missing, initialisation failing).
  using Bind = bool (*)(void* library);

  RuntimeLoader(const char* libraryName, Bind bind);
  RuntimeLoader(const RuntimeLoader&) = delete;
  RuntimeLoader& operator=(const RuntimeLoader&) = delete;

  bool load();
  // Whether an earlier load() succeeded; never tries.
  bool loaded() const { return state.load(std::memory_order_acquire) == kLoaded; }
  // The opened library once loaded, else null.
  void* library() const { return loaded() ? handle : nullptr; }

  // Tests only: the library the first load opens instead of the system's. False, changing nothing,
  // once loading was tried.
  bool useLibraryForTesting(const char* path);

 private:
  enum State { kNotTried, kFailed, kLoaded };

  std::mutex lock;
  std::atomic<int> state{kNotTried};
  std::string name;
  Bind bind;
  void* handle = nullptr;
};

}  // namespace fm
