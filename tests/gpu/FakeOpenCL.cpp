// The stand-in OpenCL runtime (see FakeOpenCL.h). Built once per variant; a variant leaves out
// the entry points its macros name, as an older or broken runtime would.
#include "tests/gpu/FakeOpenCL.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <thread>

using namespace fm;

namespace {

constexpr cl_int kOutOfHostMemory = -6;
constexpr cl_int kAllocationFailure = -4;
constexpr cl_int kBuildFailure = -11;
constexpr cl_int kInvalidValue = -30;
constexpr cl_int kInvalidQueue = -36;
constexpr cl_int kInvalidMem = -38;
constexpr cl_int kInvalidProgram = -44;
constexpr cl_int kInvalidKernelName = -46;
constexpr cl_int kInvalidKernel = -48;
constexpr cl_int kInvalidArgIndex = -49;
constexpr cl_int kInvalidArgSize = -51;

struct Program {
  std::string source;
};

struct Kernel {
  std::string name;
  cl_mem args[4] = {};
  FMParams block{};
  bool set[5] = {};
  std::thread::id setBy[5];
};

struct Buffer {
  size_t size;
  std::vector<unsigned char> bytes;  // grown as written; unwritten bytes read as zero
};

fakecl::Control gControl(FM_FAKE_VARIANT);
std::set<void*> gPrograms, gKernels;
std::map<void*, Buffer> gBuffers;

template <class T>
T* as(void* handle) {
  return static_cast<T*>(handle);
}

void setError(cl_int* out, cl_int code) {
  if (out) *out = code;
}

fakecl::Call& record(fakecl::Call::Kind kind, cl_command_queue queue, cl_mem mem = nullptr, size_t bytes = 0) {
  fakecl::Call c;
  c.kind = kind;
  c.queue = queue;
  c.mem = mem;
  c.bytes = bytes;
  gControl.calls.push_back(c);
  return gControl.calls.back();
}

Buffer* liveBuffer(cl_mem mem) {
  auto it = gBuffers.find(mem);
  return it == gBuffers.end() ? nullptr : &it->second;
}

}  // namespace

extern "C" {

fakecl::Control* fmFakeOpenCL() { return &gControl; }

cl_program clCreateProgramWithSource(cl_context, cl_uint count, const char** strings, const size_t* lengths,
                                     cl_int* error) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  if (gControl.failCreateProgram) {
    setError(error, kOutOfHostMemory);
    return nullptr;
  }
  if (count != 1 || !strings || !strings[0] || !lengths || lengths[0] == 0) {
    gControl.faults.push_back("program source not given as one string with its length");
    setError(error, kInvalidValue);
    return nullptr;
  }
  Program* p = new Program{std::string(strings[0], lengths[0])};
  gControl.source = p->source;
  gPrograms.insert(p);
  ++gControl.livePrograms;
  setError(error, 0);
  return reinterpret_cast<cl_program>(p);
}

cl_int clBuildProgram(cl_program program, cl_uint devices, const cl_device_id*, const char* options,
                      void (*)(cl_program, void*), void*) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  if (!gPrograms.count(program)) return kInvalidProgram;
  gControl.buildOptions = options ? options : "(null)";
  gControl.buildDevices = devices;
  return gControl.buildLog.empty() ? 0 : kBuildFailure;
}

cl_int clGetProgramBuildInfo(cl_program program, cl_device_id, cl_program_build_info what, size_t size, void* value,
                             size_t* sizeOut) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  if (!gPrograms.count(program) || what != kClProgramBuildLog) return kInvalidValue;
  const size_t need = gControl.buildLog.size() + 1;
  if (sizeOut) *sizeOut = need;
  if (value) {
    if (size < need) return kInvalidValue;
    std::memcpy(value, gControl.buildLog.c_str(), need);
  }
  return 0;
}

cl_kernel clCreateKernel(cl_program program, const char* name, cl_int* error) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  if (!gPrograms.count(program)) {
    setError(error, kInvalidProgram);
    return nullptr;
  }
  const std::string n = name ? name : "";
  if (n == gControl.missingKernel ||
      as<Program>(program)->source.find("FM_KERNEL(" + n + ")") == std::string::npos) {
    setError(error, kInvalidKernelName);
    return nullptr;
  }
  Kernel* k = new Kernel();
  k->name = n;
  gKernels.insert(k);
  ++gControl.liveKernels;
  gControl.createdKernels.push_back(n);
  setError(error, 0);
  return reinterpret_cast<cl_kernel>(k);
}

cl_int clReleaseKernel(cl_kernel kernel) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  if (!gKernels.erase(kernel)) {
    gControl.faults.push_back("released a kernel that is not alive");
    return kInvalidKernel;
  }
  delete as<Kernel>(kernel);
  --gControl.liveKernels;
  return 0;
}

cl_int clReleaseProgram(cl_program program) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  if (!gPrograms.erase(program)) {
    gControl.faults.push_back("released a program that is not alive");
    return kInvalidProgram;
  }
  delete as<Program>(program);
  --gControl.livePrograms;
  return 0;
}

static cl_int setKernelArg(cl_kernel kernel, cl_uint index, size_t size, const void* value) {
  if (gControl.setKernelArgError) return gControl.setKernelArgError;
  if (!gKernels.count(kernel)) return kInvalidKernel;
  Kernel* k = as<Kernel>(kernel);
  if (index > 4) return kInvalidArgIndex;
  if (size != (index < 4 ? sizeof(cl_mem) : sizeof(FMParams)) || !value) {
    gControl.faults.push_back("argument " + std::to_string(index) + " of " + k->name + " has the wrong size");
    return kInvalidArgSize;
  }
  if (index < 4) {
    std::memcpy(&k->args[index], value, sizeof(cl_mem));
    if (!gBuffers.count(k->args[index]))
      gControl.faults.push_back("argument " + std::to_string(index) + " of " + k->name + " is not a live buffer");
  } else {
    std::memcpy(&k->block, value, sizeof(FMParams));
  }
  k->set[index] = true;
  k->setBy[index] = std::this_thread::get_id();
  return 0;
}

cl_int clSetKernelArg(cl_kernel kernel, cl_uint index, size_t size, const void* value) {
  std::unique_lock<std::mutex> guard(gControl.lock);
  const cl_int result = setKernelArg(kernel, index, size, value);
  // A runtime may take its time here; without the caller's own lock, another thread's arguments
  // would land in between.
  guard.unlock();
  std::this_thread::yield();
  return result;
}

cl_int clEnqueueNDRangeKernel(cl_command_queue queue, cl_kernel kernel, cl_uint dimensions, const size_t* offset,
                              const size_t* global, const size_t* local, cl_uint waitCount, const cl_event*,
                              cl_event* event) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  if (!gKernels.count(kernel)) return kInvalidKernel;
  const Kernel* k = as<Kernel>(kernel);
  fakecl::Call& c = record(fakecl::Call::kKernel, queue);
  c.kernel = k->name;
  c.dimensions = dimensions;
  for (cl_uint d = 0; d < dimensions && d < 2 && global; ++d) c.global[d] = global[d];
  c.withOffset = offset != nullptr;
  c.withLocal = local != nullptr;
  std::memcpy(c.args, k->args, sizeof c.args);
  c.block = k->block;
  ++gControl.enqueueCount;
  if (gControl.enqueueError && (gControl.enqueueFailAt == 0 || gControl.enqueueCount == gControl.enqueueFailAt)) {
    c.result = gControl.enqueueError;
    return c.result;
  }
  if (waitCount != 0 || event) gControl.faults.push_back("an enqueue with events");
  for (int i = 0; i < 5; ++i) {
    if (!k->set[i]) gControl.faults.push_back(k->name + " enqueued with an argument unset");
    else if (k->setBy[i] != std::this_thread::get_id())
      gControl.faults.push_back(k->name + " enqueued with an argument another thread set");
  }
  return 0;
}

cl_mem clCreateBuffer(cl_context, cl_mem_flags flags, size_t size, void* host, cl_int* error) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  if (flags != kClMemReadWrite || host) gControl.faults.push_back("a buffer made with other flags or host memory");
  if (size == 0 || size > gControl.memoryBudget - std::min(gControl.memoryBudget, gControl.bytesAlive)) {
    record(fakecl::Call::kCreateBuffer, nullptr, nullptr, size).result = kAllocationFailure;
    setError(error, kAllocationFailure);
    return nullptr;
  }
  // Addresses of heap cells as handles: unique while alive, like a runtime's.
  cl_mem mem = reinterpret_cast<cl_mem>(new char);
  gBuffers.emplace(mem, Buffer{size, {}});
  gControl.bytesAlive += size;
  ++gControl.liveBuffers;
  record(fakecl::Call::kCreateBuffer, nullptr, mem, size);
  setError(error, 0);
  return mem;
}

cl_int clReleaseMemObject(cl_mem mem) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  fakecl::Call& c = record(fakecl::Call::kRelease, nullptr, mem);
  Buffer* b = liveBuffer(mem);
  if (!b) {
    gControl.faults.push_back("released a buffer that is not alive");
    c.result = kInvalidMem;
    return kInvalidMem;
  }
  gControl.bytesAlive -= b->size;
  --gControl.liveBuffers;
  gBuffers.erase(mem);
  delete reinterpret_cast<char*>(mem);
  return 0;
}

cl_int clEnqueueWriteBuffer(cl_command_queue queue, cl_mem mem, cl_bool blocking, size_t offset, size_t size,
                            const void* host, cl_uint, const cl_event*, cl_event*) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  fakecl::Call& c = record(fakecl::Call::kWrite, queue, mem, size);
  Buffer* b = liveBuffer(mem);
  if (!b || offset != 0 || size > b->size || !host || blocking != kClTrue) {
    gControl.faults.push_back("a write outside a live buffer, or not blocking");
    return c.result = kInvalidValue;
  }
  if (gControl.writeError) return c.result = gControl.writeError;
  if (b->bytes.size() < size) b->bytes.resize(size);
  if (size) std::memcpy(b->bytes.data(), host, size);
  return 0;
}

cl_int clEnqueueReadBuffer(cl_command_queue queue, cl_mem mem, cl_bool blocking, size_t offset, size_t size,
                           void* host, cl_uint, const cl_event*, cl_event*) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  fakecl::Call& c = record(fakecl::Call::kRead, queue, mem, size);
  Buffer* b = liveBuffer(mem);
  if (!b || offset != 0 || size > b->size || !host || blocking != kClTrue) {
    gControl.faults.push_back("a read outside a live buffer, or not blocking");
    return c.result = kInvalidValue;
  }
  const size_t have = std::min(size, b->bytes.size());
  if (have) std::memcpy(host, b->bytes.data(), have);
  std::memset(static_cast<char*>(host) + have, 0, size - have);
  return 0;
}

#ifndef FM_FAKE_NO_FINISH
cl_int clFinish(cl_command_queue queue) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  return record(fakecl::Call::kFinish, queue).result = gControl.finishError;
}
#endif

#ifndef FM_FAKE_NO_QUEUE_INFO
cl_int clGetCommandQueueInfo(cl_command_queue queue, cl_command_queue_info what, size_t size, void* value,
                             size_t* sizeOut) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  fakecl::Call& c = record(fakecl::Call::kQueueInfo, queue);
  if (gControl.queueInfoFails) return c.result = kInvalidQueue;
  if (what != kClQueueProperties || size < sizeof(cl_command_queue_properties) || !value)
    return c.result = kInvalidValue;
  std::memcpy(value, &gControl.queueProperties, sizeof(cl_command_queue_properties));
  if (sizeOut) *sizeOut = sizeof(cl_command_queue_properties);
  return 0;
}
#endif

#ifndef FM_FAKE_NO_BARRIER_WAIT_LIST
cl_int clEnqueueBarrierWithWaitList(cl_command_queue queue, cl_uint waitCount, const cl_event* waitList,
                                    cl_event* event) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  if (waitCount || waitList || event) gControl.faults.push_back("a barrier with events");
  return record(fakecl::Call::kBarrier, queue).result = gControl.barrierError;
}
#endif

#ifndef FM_FAKE_NO_BARRIER
cl_int clEnqueueBarrier(cl_command_queue queue) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  return record(fakecl::Call::kOldBarrier, queue).result = gControl.barrierError;
}
#endif

}  // extern "C"
