// The stand-in CUDA driver (see FakeCuda.h). Built once per variant; a variant leaves out the
// entry points its macros name, as a broken driver would.
#include "tests/gpu/FakeCuda.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>

#include "engine/cpu/CpuKernels.h"

using fm::CUcontext;
using fm::CUdeviceptr;
using fm::CUfunction;
using fm::CUjit_option;
using fm::CUmodule;
using fm::CUresult;
using fm::CUstream;
using fakecu::Call;

namespace {

using KernelFn = void (*)(int, int, fm::float4*, const fm::float4*, const fm::float4*, const float*,
                          const FMParams&);

struct KernelEntry {
  const char* name;
  KernelFn fn;
};
#define FM_FAKE_KERNEL(id, name) {#name, &fm::name},
const KernelEntry kKernels[FM_KERNEL_COUNT] = {FM_KERNEL_LIST(FM_FAKE_KERNEL)};
#undef FM_FAKE_KERNEL

KernelFn kernelNamed(const std::string& name) {
  for (const KernelEntry& k : kKernels)
    if (name == k.name) return k.fn;
  return nullptr;
}

struct Module;
struct Function {
  std::string name;
  KernelFn fn;
  Module* module;
};
struct Module {
  CUcontext context;
  std::set<std::string> entries;              // as the PTX declares them
  std::map<std::string, Function> functions;  // handed out, stable while the module lives
};

// Work queued on a stream, run when the stream is synchronised.
struct Work {
  std::vector<CUdeviceptr> uses;  // the allocations it reads or writes
  std::function<void()> run;
};

fakecu::Control gControl(FM_FAKE_VARIANT);
bool gInitialized = false;
std::set<Module*> gModules;
std::set<const Function*> gFunctions;
std::map<CUdeviceptr, size_t> gAllocations;  // base -> bytes
size_t gBytesAlive = 0;
std::map<CUstream, std::vector<Work>> gQueues;

// Everything below runs under gControl.lock unless it says otherwise.

std::vector<CUcontext>& contextStack() { return gControl.stacks[std::this_thread::get_id()]; }
CUcontext current() { return contextStack().empty() ? nullptr : contextStack().back(); }

Call& record(Call::Kind kind) {
  Call c;
  c.kind = kind;
  c.thread = std::this_thread::get_id();
  c.context = current();
  gControl.calls.push_back(c);
  return gControl.calls.back();
}

CUresult injected(const char* entry) {
  auto f = gControl.failures.find(entry);
  if (f == gControl.failures.end()) return 0;
  ++f->second.seen;
  return f->second.at == 0 || f->second.seen == f->second.at ? f->second.code : 0;
}

// What a call answers before it does anything: 0 when it may go on.
CUresult refusal(const char* entry, bool needsContext = true) {
  if (!gInitialized) return fakecu::kNotInitialized;
  if (CUresult code = injected(entry)) return code;
  return needsContext && !current() ? fakecu::kInvalidContext : 0;
}

void fault(std::string text) { gControl.faults.push_back(std::move(text)); }

// The base of the live allocation holding [address, address + bytes), or 0.
CUdeviceptr allocationOf(CUdeviceptr address, size_t bytes) {
  auto it = gAllocations.upper_bound(address);
  if (address == 0 || it == gAllocations.begin()) return 0;
  --it;
  const CUdeviceptr offset = address - it->first;
  return offset <= it->second && bytes <= it->second - offset ? it->first : 0;
}

bool queuedWorkUses(CUdeviceptr base) {
  for (const auto& queue : gQueues)
    for (const Work& w : queue.second)
      if (std::count(w.uses.begin(), w.uses.end(), base)) return true;
  return false;
}

Module* moduleOf(CUmodule handle) {
  Module* m = reinterpret_cast<Module*>(handle);
  return gModules.count(m) ? m : nullptr;
}

std::string collapseSpace(const std::string& text) {
  std::string out;
  for (char ch : text) {
    const bool space = ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r';
    if (!space) out += ch;
    else if (!out.empty() && out.back() != ' ') out += ' ';
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// What the backend relies on in the PTX; the problem found, or "" with the entry names.
std::string checkPtx(const std::string& text, std::set<std::string>& entries) {
  for (const char* line : {"\n.version 4.2\n", "\n.target sm_50\n", "\n.address_size 64\n"})
    if (text.find(line) == std::string::npos) return std::string("no line ") + collapseSpace(line);
  const std::string tag = ".visible .entry ";
  for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1)) {
    const size_t open = text.find('(', at), close = text.find(')', open);
    if (close == std::string::npos) return "an entry without its parameter list";
    const std::string name = text.substr(at + tag.size(), open - at - tag.size());
    std::string want;
    for (int i = 0; i < 4; ++i) want += ".param .u64 " + name + "_param_" + std::to_string(i) + ", ";
    want += ".param .align 4 .b8 " + name + "_param_4[" + std::to_string(sizeof(FMParams)) + "]";
    if (collapseSpace(text.substr(open + 1, close - open - 1)) != want) return name + ": unexpected parameters";
    if (!kernelNamed(name)) return name + ": no such kernel";
    if (!entries.insert(name).second) return name + ": declared twice";
  }
  if (entries.size() != FM_KERNEL_COUNT) return std::to_string(entries.size()) + " entries";
  return "";
}

// Runs outside the lock: the kernel over every thread of every block, as a device would.
void execute(KernelFn fn, const unsigned grid[3], const unsigned block[3], const CUdeviceptr args[4],
             const FMParams& p) {
  auto image = [&](int i) { return reinterpret_cast<fm::float4*>(uintptr_t(args[i])); };
  const float* tab = reinterpret_cast<const float*>(uintptr_t(args[3]));
  for (unsigned by = 0; by < grid[1]; ++by)
    for (unsigned ty = 0; ty < block[1]; ++ty)
      for (unsigned bx = 0; bx < grid[0]; ++bx)
        for (unsigned tx = 0; tx < block[0]; ++tx)
          fn(int(bx * block[0] + tx), int(by * block[1] + ty), image(0), image(1), image(2), tab, p);
}

bool withinLimits(const unsigned grid[3], const unsigned block[3]) {
  for (int d = 0; d < 3; ++d)
    if (grid[d] < 1 || block[d] < 1) return false;
  return block[0] * block[1] * block[2] <= 1024 && grid[1] <= 65535 && grid[2] <= 65535 &&
         uint64_t(grid[0]) * block[0] <= INT_MAX && uint64_t(grid[1]) * block[1] <= INT_MAX;
}

// A copy that runs at once, not ordered with any stream's work.
CUresult copyNow(Call::Kind kind, const char* entry, void* to, const void* from, CUdeviceptr device,
                        size_t bytes) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  Call& c = record(kind);
  c.address = device;
  c.bytes = bytes;
  if ((c.result = refusal(entry))) return c.result;
  const CUdeviceptr base = allocationOf(device, bytes);
  if (!base || !to || !from) {
    fault(std::string(entry) + " outside device memory");
    return c.result = fakecu::kInvalidValue;
  }
  if (queuedWorkUses(base)) fault(std::string(entry) + " while queued work still uses the memory");
  std::memcpy(to, from, bytes);
  return 0;
}

}  // namespace

extern "C" {

fakecu::Control* fmFakeCuda() { return &gControl; }

CUresult cuInit(unsigned flags) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  Call& c = record(Call::kInit);
  ++gControl.initCalls;
  if (flags != 0) fault("cuInit with flags");
  // A program that cannot reach the controls (the command-line tool) takes one fault from the
  // environment: FM_FAKE_CUDA_FAIL="entry:code:at", as failCall takes them.
  static bool faultFromEnvironment = false;
  if (const char* spec = std::getenv("FM_FAKE_CUDA_FAIL"); spec && !faultFromEnvironment) {
    faultFromEnvironment = true;
    const std::string text = spec;
    const size_t a = text.find(':'), b = text.find(':', a == std::string::npos ? a : a + 1);
    if (a != std::string::npos && b != std::string::npos) {
      gControl.failures[text.substr(0, a)] = {std::atoi(text.c_str() + a + 1), std::atoi(text.c_str() + b + 1), 0};
    }
  }
  if ((c.result = injected("cuInit"))) return c.result;
  gInitialized = true;
  return 0;
}

CUresult cuModuleLoadDataEx(CUmodule* module, const void* image, unsigned optionCount, CUjit_option* options,
                            void** values) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  Call& c = record(Call::kLoad);
  char* log = nullptr;
  size_t logSize = 0;
  for (unsigned i = 0; i < optionCount && options && values; ++i) {
    if (options[i] == fm::kCuJitErrorLogBuffer) log = static_cast<char*>(values[i]);
    else if (options[i] == fm::kCuJitErrorLogBufferSizeBytes) logSize = size_t(uintptr_t(values[i]));
  }
  if (optionCount != 2 || !log || logSize != 4096) fault("the JIT error log is not a 4096-byte buffer");
  // A log that fills the buffer is cut there, with no room left for a terminator.
  auto writeLog = [&](const std::string& text) {
    if (!log) return;
    const size_t n = std::min(text.size(), logSize);
    std::memcpy(log, text.data(), n);
    if (n < logSize) log[n] = '\0';
  };
  if ((c.result = refusal("cuModuleLoadDataEx"))) {
    writeLog(gControl.jitLog);
    return c.result;
  }
  if (!module || !image) return c.result = fakecu::kInvalidValue;
  Module made{current(), {}, {}};
  const std::string problem = checkPtx(static_cast<const char*>(image), made.entries);
  if (!problem.empty()) {
    writeLog("ptxas application ptx input: " + problem);
    return c.result = fakecu::kInvalidPtx;
  }
  Module* m = new Module(std::move(made));
  gModules.insert(m);
  ++gControl.liveModules;
  *module = reinterpret_cast<CUmodule>(m);
  return 0;
}

CUresult cuModuleUnload(CUmodule handle) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  Call& c = record(Call::kUnload);
  if ((c.result = refusal("cuModuleUnload"))) return c.result;
  Module* m = moduleOf(handle);
  if (!m) {
    fault("unloaded a module that is not loaded");
    return c.result = fakecu::kInvalidHandle;
  }
  if (m->context != current()) return c.result = fakecu::kInvalidContext;
  for (const auto& f : m->functions) gFunctions.erase(&f.second);
  gModules.erase(m);
  delete m;
  --gControl.liveModules;
  return 0;
}

CUresult cuModuleGetFunction(CUfunction* function, CUmodule handle, const char* name) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  Call& c = record(Call::kGetFunction);
  c.kernel = name ? name : "";
  if ((c.result = refusal("cuModuleGetFunction"))) return c.result;
  Module* m = moduleOf(handle);
  if (!m) return c.result = fakecu::kInvalidHandle;
  if (m->context != current()) return c.result = fakecu::kInvalidContext;
  if (!function || !name) return c.result = fakecu::kInvalidValue;
  if (c.kernel == gControl.missingFunction || !m->entries.count(c.kernel)) return c.result = fakecu::kNotFound;
  Function& f = m->functions.emplace(c.kernel, Function{c.kernel, kernelNamed(c.kernel), m}).first->second;
  gFunctions.insert(&f);
  *function = reinterpret_cast<CUfunction>(&f);
  return 0;
}

CUresult cuLaunchKernel(CUfunction function, unsigned gridX, unsigned gridY, unsigned gridZ, unsigned blockX,
                        unsigned blockY, unsigned blockZ, unsigned sharedBytes, CUstream stream, void** arguments,
                        void** extra) {
  // The driver reads the values behind the array during the call; the caller's storage may go
  // afterwards. It may take its time first: storage that another render thread shares would
  // change under it.
  std::this_thread::yield();
  CUdeviceptr args[4] = {};
  FMParams p{};
  if (arguments) {
    for (int i = 0; i < 4; ++i) std::memcpy(&args[i], arguments[i], sizeof(CUdeviceptr));
    std::memcpy(&p, arguments[4], sizeof(FMParams));
  }
  std::lock_guard<std::mutex> guard(gControl.lock);
  Call& c = record(Call::kLaunch);
  c.stream = stream;
  const unsigned grid[3] = {gridX, gridY, gridZ}, block[3] = {blockX, blockY, blockZ};
  std::copy(grid, grid + 3, c.grid);
  std::copy(block, block + 3, c.block);
  std::copy(args, args + 4, c.args);
  c.params = p;
  if ((c.result = refusal("cuLaunchKernel"))) return c.result;
  const Function* f = reinterpret_cast<const Function*>(function);
  if (!gFunctions.count(f)) {
    fault("launched a function that is not loaded");
    return c.result = fakecu::kInvalidHandle;
  }
  c.kernel = f->name;
  if (f->module->context != current()) return c.result = fakecu::kInvalidContext;
  if (sharedBytes || extra) fault(f->name + " launched with shared memory or extra arguments");
  if (!arguments || !withinLimits(grid, block) || gridZ != 1 || blockZ != 1) return c.result = fakecu::kInvalidValue;
  Work w;
  for (int i = 0; i < 4; ++i) {
    if (!args[i]) continue;
    const CUdeviceptr base = allocationOf(args[i], 0);
    if (!base) {
      fault(f->name + " argument " + std::to_string(i) + " is not device memory");
      return c.result = fakecu::kLaunchFailed;
    }
    w.uses.push_back(base);
  }
  KernelFn fn = f->fn;
  w.run = [=] { execute(fn, grid, block, args, p); };
  gQueues[stream].push_back(std::move(w));
  return 0;
}

CUresult cuMemAlloc_v2(CUdeviceptr* address, size_t bytes) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  Call& c = record(Call::kAlloc);
  c.bytes = bytes;
  if ((c.result = refusal("cuMemAlloc_v2"))) return c.result;
  if (!address || bytes == 0) return c.result = fakecu::kInvalidValue;
  if (bytes > gControl.memoryBudget - std::min(gControl.memoryBudget, gBytesAlive))
    return c.result = fakecu::kOutOfMemory;
  const size_t rounded = (bytes + 255) & ~size_t(255);
  void* memory = rounded >= bytes ? std::aligned_alloc(256, rounded) : nullptr;
  if (!memory) return c.result = fakecu::kOutOfMemory;
  // Device memory starts with whatever was there: all-ones bits read as NaN.
  std::memset(memory, 0xFF, rounded);
  c.address = CUdeviceptr(uintptr_t(memory));
  gAllocations[c.address] = bytes;
  gBytesAlive += bytes;
  ++gControl.liveAllocations;
  *address = c.address;
  return 0;
}

CUresult cuMemFree_v2(CUdeviceptr address) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  Call& c = record(Call::kFree);
  c.address = address;
  if ((c.result = refusal("cuMemFree_v2"))) return c.result;
  auto it = gAllocations.find(address);
  if (it == gAllocations.end()) {
    fault("freed memory that is not allocated (twice, or never)");
    return c.result = fakecu::kInvalidValue;
  }
  if (queuedWorkUses(address)) {
    fault("freed memory that queued work still uses");
    // That work can no longer run.
    auto usesIt = [&](const Work& w) { return std::count(w.uses.begin(), w.uses.end(), address) > 0; };
    for (auto& queue : gQueues)
      queue.second.erase(std::remove_if(queue.second.begin(), queue.second.end(), usesIt), queue.second.end());
  }
  std::free(reinterpret_cast<void*>(uintptr_t(address)));
  gBytesAlive -= it->second;
  gAllocations.erase(it);
  --gControl.liveAllocations;
  return 0;
}

CUresult cuMemcpyHtoDAsync_v2(CUdeviceptr to, const void* from, size_t bytes, CUstream stream) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  Call& c = record(Call::kCopyInAsync);
  c.address = to;
  c.bytes = bytes;
  c.stream = stream;
  if ((c.result = refusal("cuMemcpyHtoDAsync_v2"))) return c.result;
  const CUdeviceptr base = allocationOf(to, bytes);
  if (!base || !from) {
    fault("an asynchronous copy outside device memory");
    return c.result = fakecu::kInvalidValue;
  }
  // Pageable host memory is staged before the call returns.
  std::vector<char> staged(static_cast<const char*>(from), static_cast<const char*>(from) + bytes);
  gQueues[stream].push_back(
      {{base}, [to, staged] { std::memcpy(reinterpret_cast<void*>(uintptr_t(to)), staged.data(), staged.size()); }});
  return 0;
}

CUresult cuMemcpyHtoD_v2(CUdeviceptr to, const void* from, size_t bytes) {
  return copyNow(Call::kCopyIn, "cuMemcpyHtoD_v2", reinterpret_cast<void*>(uintptr_t(to)), from, to, bytes);
}

CUresult cuMemcpyDtoH_v2(void* to, CUdeviceptr from, size_t bytes) {
  return copyNow(Call::kCopyOut, "cuMemcpyDtoH_v2", to, reinterpret_cast<const void*>(uintptr_t(from)), from, bytes);
}

CUresult cuStreamSynchronize(CUstream stream) {
  std::vector<Work> work;
  {
    std::lock_guard<std::mutex> guard(gControl.lock);
    Call& c = record(Call::kSync);
    c.stream = stream;
    c.result = refusal("cuStreamSynchronize");
    // A failed wait is a device fault: the queued work is lost either way.
    work.swap(gQueues[stream]);
    gQueues.erase(stream);
    if (c.result) return c.result;
  }
  // Outside the lock, so that renders on two streams really run at once.
  for (Work& w : work) w.run();
  return 0;
}

CUresult cuCtxPushCurrent_v2(CUcontext context) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  Call& c = record(Call::kPush);
  c.context = context;
  if ((c.result = refusal("cuCtxPushCurrent_v2", false))) return c.result;
  if (!context) {
    fault("pushed a null context");
    return c.result = fakecu::kInvalidValue;
  }
  contextStack().push_back(context);
  return 0;
}

CUresult cuCtxPopCurrent_v2(CUcontext* popped) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  Call& c = record(Call::kPop);
  if ((c.result = refusal("cuCtxPopCurrent_v2", false))) return c.result;
  if (contextStack().empty()) {
    fault("popped with no context pushed on this thread");
    return c.result = fakecu::kInvalidContext;
  }
  if (popped) *popped = c.context;
  contextStack().pop_back();
  return 0;
}

// Device discovery, which the product leaves to the host: what the suites and benchmarks that find
// a device themselves need, so that they can run here under the driver's name.
CUresult cuDeviceGetCount(int* count) {
  *count = 1;
  return 0;
}

CUresult cuDeviceGet(int* device, int ordinal) {
  *device = ordinal;
  return ordinal == 0 ? 0 : fakecu::kInvalidValue;
}

CUresult cuDeviceGetName(char* name, int size, int) {
  std::snprintf(name, size_t(size), "%s", "stand-in CUDA driver (CPU kernels)");
  return 0;
}

CUresult cuDevicePrimaryCtxRetain(CUcontext* context, int) {
  static char primary;
  *context = reinterpret_cast<CUcontext>(&primary);
  return 0;
}

CUresult cuStreamCreate(CUstream* stream, unsigned) {
  *stream = reinterpret_cast<CUstream>(new char);
  return 0;
}

CUresult cuStreamDestroy_v2(CUstream stream) {
  delete reinterpret_cast<char*>(stream);
  return 0;
}

CUresult cuMemcpyDtoDAsync_v2(CUdeviceptr to, CUdeviceptr from, size_t bytes, CUstream stream) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  if (CUresult code = refusal("cuMemcpyDtoDAsync_v2")) return code;
  const CUdeviceptr toBase = allocationOf(to, bytes), fromBase = allocationOf(from, bytes);
  if (!toBase || !fromBase) return fakecu::kInvalidValue;
  gQueues[stream].push_back({{toBase, fromBase}, [=] {
                               std::memmove(reinterpret_cast<void*>(uintptr_t(to)),
                                            reinterpret_cast<const void*>(uintptr_t(from)), bytes);
                             }});
  return 0;
}

#ifndef FM_FAKE_NO_CTX_GET_CURRENT
CUresult cuCtxGetCurrent(CUcontext* context) {
  std::lock_guard<std::mutex> guard(gControl.lock);
  Call& c = record(Call::kGetCurrent);
  if ((c.result = refusal("cuCtxGetCurrent", false))) return c.result;
  if (!context) return c.result = fakecu::kInvalidValue;
  *context = current();
  return 0;
}
#endif

}  // extern "C"
