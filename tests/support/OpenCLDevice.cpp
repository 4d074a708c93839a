#include "tests/support/OpenCLDevice.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "gpu/KernelTexts.h"
#include "gpu/OpenCLLoader.h"

namespace fmtest {
namespace {

using fm::cl_command_queue;
using fm::cl_context;
using fm::cl_device_id;
using fm::cl_int;
using fm::cl_uint;
using fm::cl_ulong;

// Device discovery is the host's business, not the product's: its entry points are looked up
// here, in the runtime the product loaded.
struct PlatformObject;
using cl_platform_id = PlatformObject*;
constexpr cl_ulong kDeviceTypeGpu = 1 << 2;
constexpr cl_ulong kDeviceTypeAll = 0xFFFFFFFF;
constexpr cl_uint kDeviceName = 0x102B;
constexpr cl_uint kDeviceVendor = 0x102C;
constexpr cl_uint kPlatformName = 0x0902;
constexpr fm::cl_mem_flags kMemCopyHostPtr = 1 << 5;

struct Discovery {
  cl_int (*getPlatformIDs)(cl_uint, cl_platform_id*, cl_uint*);
  cl_int (*getPlatformInfo)(cl_platform_id, cl_uint, size_t, void*, size_t*);
  cl_int (*getDeviceIDs)(cl_platform_id, cl_ulong, cl_uint, cl_device_id*, cl_uint*);
  cl_int (*getDeviceInfo)(cl_device_id, cl_uint, size_t, void*, size_t*);
  cl_context (*createContext)(const intptr_t*, cl_uint, const cl_device_id*, void*, void*, cl_int*);
  cl_command_queue (*createCommandQueue)(cl_context, cl_device_id, cl_ulong, cl_int*);
  cl_int (*releaseCommandQueue)(cl_command_queue);

  bool find() {
    return look(getPlatformIDs, "clGetPlatformIDs") & look(getPlatformInfo, "clGetPlatformInfo") &
           look(getDeviceIDs, "clGetDeviceIDs") & look(getDeviceInfo, "clGetDeviceInfo") &
           look(createContext, "clCreateContext") & look(createCommandQueue, "clCreateCommandQueue") &
           look(releaseCommandQueue, "clReleaseCommandQueue");
  }
  template <class Fn>
  static bool look(Fn& slot, const char* name) {
    slot = reinterpret_cast<Fn>(fm::openCLSymbol(name));
    return slot != nullptr;
  }
};

Discovery gDiscovery;
std::string gWhy;

template <class Object>
std::string infoText(cl_int (*query)(Object, cl_uint, size_t, void*, size_t*), Object object, cl_uint what) {
  char text[256] = {};
  return query(object, what, sizeof text - 1, text, nullptr) == fm::kClSuccess ? std::string(text) : "?";
}

// The first device of `type` on any platform.
bool firstDevice(cl_ulong type, cl_platform_id* platform, cl_device_id* device) {
  cl_platform_id platforms[16];
  cl_uint count = 0;
  const cl_int err = gDiscovery.getPlatformIDs(16, platforms, &count);
  if (err != fm::kClSuccess || count == 0) {
    gWhy = "clGetPlatformIDs returned " + std::to_string(err);
    return false;
  }
  for (cl_uint i = 0; i < count && i < 16; ++i) {
    cl_uint n = 0;
    if (gDiscovery.getDeviceIDs(platforms[i], type, 1, device, &n) == fm::kClSuccess && n > 0) {
      *platform = platforms[i];
      return true;
    }
  }
  gWhy = "no usable OpenCL device";
  return false;
}

}  // namespace

OpenCLDevice* OpenCLDevice::open() {
  if (!fm::loadOpenCL()) {
    gWhy = "OpenCL not found";
    return nullptr;
  }
  if (!gDiscovery.find()) {
    gWhy = "the OpenCL runtime lacks the device discovery entry points";
    return nullptr;
  }
  cl_platform_id platform = nullptr;
  cl_device_id device = nullptr;
  const bool gpu = firstDevice(kDeviceTypeGpu, &platform, &device);
  if (!gpu && !firstDevice(kDeviceTypeAll, &platform, &device)) return nullptr;
  cl_int err = fm::kClSuccess;
  cl_context context = gDiscovery.createContext(nullptr, 1, &device, nullptr, nullptr, &err);
  if (!context || err != fm::kClSuccess) {
    gWhy = "clCreateContext returned " + std::to_string(err);
    return nullptr;
  }
  cl_command_queue queue = gDiscovery.createCommandQueue(context, device, 0, &err);
  if (!queue || err != fm::kClSuccess) {
    gWhy = "clCreateCommandQueue returned " + std::to_string(err);
    return nullptr;
  }
  return new OpenCLDevice(context, device, queue, gpu,
                          infoText(gDiscovery.getDeviceInfo, device, kDeviceVendor) + " " +
                              infoText(gDiscovery.getDeviceInfo, device, kDeviceName) + " (" +
                              infoText(gDiscovery.getPlatformInfo, platform, kPlatformName) + ")");
}

namespace {

// Owns the objects of one probe run.
struct ProbeObjects {
  fm::cl_kernel kernel = nullptr;
  fm::cl_mem mem = nullptr;
  fm::cl_program program = nullptr;
  ~ProbeObjects() {
    const fm::OpenCLApi* cl = fm::openCL();
    if (mem) cl->releaseMemObject(mem);
    if (kernel) cl->releaseKernel(kernel);
    if (program) cl->releaseProgram(program);
  }
};

}  // namespace

OpenCLDevice::OpenCLDevice(cl_context context, cl_device_id device, cl_command_queue queue, bool isGpu,
                           std::string name)
    : context(context), device(device), queue(queue), name(std::move(name)), isGpu(isGpu) {
  program = fm::buildOpenCLProgram(context, device, &buildError);
}

OpenCLDevice* OpenCLDevice::get() {
  // Lives for the process, as the runtime does.
  static OpenCLDevice* const instance = open();
  return instance;
}

const std::string& OpenCLDevice::why() { return gWhy; }

cl_command_queue OpenCLDevice::createQueue(fm::cl_command_queue_properties properties) {
  cl_int err = fm::kClSuccess;
  cl_command_queue q = gDiscovery.createCommandQueue(context, device, properties, &err);
  return err == fm::kClSuccess ? q : nullptr;
}

void OpenCLDevice::releaseQueue(cl_command_queue q) {
  if (q) gDiscovery.releaseCommandQueue(q);
}

bool OpenCLDevice::runProbe(const std::string& extraSource, const char* kernel, const FMParams& p,
                            std::vector<int>& out, int outInts, std::string* error) {
  const fm::OpenCLApi* cl = fm::openCL();
  std::string text(fm::openclKernelText(), fm::openclKernelTextSize());
  text += extraSource;
  ProbeObjects o;
  o.program = fm::compileOpenCLSource(context, device, text.data(), text.size(), error);
  if (!o.program) return false;
  cl_int err = fm::kClSuccess;
  o.kernel = cl->createKernel(o.program, kernel, &err);
  out.assign(size_t(outInts), 0);
  if (err == fm::kClSuccess)
    o.mem = cl->createBuffer(context, fm::kClMemReadWrite | kMemCopyHostPtr, out.size() * sizeof(int), out.data(),
                             &err);
  if (err == fm::kClSuccess) err = cl->setKernelArg(o.kernel, 0, sizeof(fm::cl_mem), &o.mem);
  if (err == fm::kClSuccess) err = cl->setKernelArg(o.kernel, 1, sizeof(FMParams), &p);
  const size_t one = 1;
  if (err == fm::kClSuccess)
    err = cl->enqueueNDRangeKernel(queue, o.kernel, 1, nullptr, &one, nullptr, 0, nullptr, nullptr);
  if (err == fm::kClSuccess)
    err = cl->enqueueReadBuffer(queue, o.mem, fm::kClTrue, 0, out.size() * sizeof(int), out.data(), 0, nullptr,
                                nullptr);
  if (err != fm::kClSuccess && error) *error = "OpenCL error " + std::to_string(err);
  return err == fm::kClSuccess;
}

void reportNoOpenCL(const std::string& why) {
  const char* ci = std::getenv("CI");
  if (ci && *ci && std::strcmp(ci, "false") != 0 && std::strcmp(ci, "0") != 0) {
    ADD_FAILURE() << "no OpenCL platform in CI (scripts/bootstrap installs PoCL): " << why;
    return;
  }
  GTEST_SKIP() << "no OpenCL platform: " << why;
}

}  // namespace fmtest
