// A stand-in CUDA driver for machines without an NVIDIA GPU. Device memory is host memory; a
// module is the embedded PTX, checked for what the backend relies on; a launch runs the CPU build
// of the named kernel over exactly the grid and blocks it is given, with the five arguments read
// through the argument array. Work on a stream runs when the stream is synchronised, so a copy or
// a release that does not wait for it is caught. Contexts are pushed and popped per thread, every
// call is recorded and any can be made to fail. The tests reach its controls through the symbol
// fmFakeCuda of the library the product loaded.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gpu/CudaApi.h"
#include "kernels/FMKernelTypes.h"

namespace fakecu {

// Result codes of the published driver interface that the stand-in gives.
constexpr fm::CUresult kInvalidValue = 1, kOutOfMemory = 2, kNotInitialized = 3, kInvalidContext = 201,
                       kInvalidPtx = 218, kInvalidHandle = 400, kNotFound = 500, kLaunchFailed = 719;

struct Call {
  enum Kind { kInit, kLoad, kUnload, kGetFunction, kLaunch, kAlloc, kFree, kCopyInAsync, kCopyIn, kCopyOut, kSync,
              kPush, kPop, kGetCurrent };
  Kind kind;
  fm::CUresult result = 0;
  std::thread::id thread;
  fm::CUcontext context = nullptr;  // pushed or popped; for other calls the one current
  fm::CUstream stream = nullptr;
  fm::CUdeviceptr address = 0;  // allocated, freed, copied to or from
  size_t bytes = 0;
  // Launches: the kernel, the shape, and the arguments as read through the array.
  std::string kernel;
  unsigned grid[3] = {}, block[3] = {};
  fm::CUdeviceptr args[4] = {};
  FMParams params{};
};

struct Control {
  explicit Control(const char* variant) : variant(variant) {}

  const char* variant;  // the library's name, which says what it lacks

  // The `at`-th call of `entry` from now fails with `code` (0: every call).
  void failCall(const std::string& entry, fm::CUresult code, int at = 0) { failures[entry] = {code, at, 0}; }
  std::string jitLog;           // what a failing cuModuleLoadDataEx writes into the error log
  std::string missingFunction;  // cuModuleGetFunction does not find this name
  size_t memoryBudget = SIZE_MAX;  // bytes allocated at once

  // What happened.
  std::vector<Call> calls;
  std::vector<std::string> faults;  // misuse: unknown handles, copies or releases racing queued work
  std::map<std::thread::id, std::vector<fm::CUcontext>> stacks;  // each thread's pushed contexts
  int initCalls = 0, liveModules = 0, liveAllocations = 0;

  std::mutex lock;

  // Back to no faults and no record; objects alive and pushed contexts stay.
  void reset() {
    std::lock_guard<std::mutex> guard(lock);
    failures.clear();
    jitLog.clear();
    missingFunction.clear();
    memoryBudget = SIZE_MAX;
    calls.clear();
    faults.clear();
  }

  struct Failure {
    fm::CUresult code;
    int at, seen;
  };
  std::map<std::string, Failure> failures;
};

}  // namespace fakecu

extern "C" fakecu::Control* fmFakeCuda();
