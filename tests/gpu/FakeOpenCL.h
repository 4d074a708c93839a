// A stand-in OpenCL runtime for what a real one cannot be made to do on demand: lack an entry
// point, fail a given call, run out of memory. It runs no kernel; it records every call the
// backend makes, with the arguments each enqueue captured, and checks how handles are used.
// The tests reach its controls through the symbol fmFakeOpenCL of the library the product loaded.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "gpu/OpenCLApi.h"
#include "kernels/FMKernelTypes.h"

namespace fakecl {

struct Call {
  enum Kind { kKernel, kBarrier, kOldBarrier, kFinish, kWrite, kRead, kCreateBuffer, kRelease, kQueueInfo };
  Kind kind;
  fm::cl_int result = 0;
  fm::cl_command_queue queue = nullptr;
  fm::cl_mem mem = nullptr;  // written, read, created or released
  size_t bytes = 0;
  // Kernels: the name, the range and the five arguments as the enqueue captured them.
  std::string kernel;
  fm::cl_uint dimensions = 0;
  size_t global[2] = {0, 0};
  bool withOffset = false, withLocal = false;
  fm::cl_mem args[4] = {};
  FMParams block{};
};

struct Control {
  explicit Control(const char* variant) : variant(variant) {}

  const char* variant;  // the library's name, which says which entry points it lacks

  // Faults to inject; zero or empty: none.
  bool failCreateProgram = false;
  std::string buildLog;       // the build fails with this log
  std::string missingKernel;  // clCreateKernel refuses this name
  fm::cl_int setKernelArgError = 0;
  fm::cl_int enqueueError = 0;
  int enqueueFailAt = 0;  // the n-th enqueue fails with enqueueError (0: every one, when set)
  int enqueueCount = 0;
  fm::cl_int finishError = 0;
  fm::cl_int barrierError = 0;
  fm::cl_int writeError = 0;
  bool queueInfoFails = false;
  fm::cl_command_queue_properties queueProperties = 0;
  size_t memoryBudget = SIZE_MAX;  // bytes of buffers alive at once

  // What happened.
  std::vector<Call> calls;
  std::string source;  // the last program text, as given with its length
  std::string buildOptions;
  fm::cl_uint buildDevices = 0;
  int livePrograms = 0, liveKernels = 0, liveBuffers = 0;
  std::vector<std::string> createdKernels;  // in creation order
  std::vector<std::string> faults;         // misuse: unknown or twice-released handles, bad arguments
  size_t bytesAlive = 0;

  std::mutex lock;

  // Back to no faults and no record; objects alive stay counted.
  void reset() {
    std::lock_guard<std::mutex> guard(lock);
    failCreateProgram = false;
    buildLog.clear();
    missingKernel.clear();
    setKernelArgError = enqueueError = finishError = barrierError = writeError = 0;
    enqueueFailAt = enqueueCount = 0;
    queueInfoFails = false;
    queueProperties = 0;
    memoryBudget = SIZE_MAX;
    calls.clear();
    createdKernels.clear();
    faults.clear();
  }
};

}  // namespace fakecl

extern "C" fakecl::Control* fmFakeOpenCL();
