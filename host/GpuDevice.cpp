#include "host/GpuDevice.h"

#include "gpu/CudaLoader.h"
#include "gpu/OpenCLLoader.h"

namespace fm::host {
namespace {

// ---------------------------------------------------------------- OpenCL
// Discovery and context creation are the host's business: their entry points are looked up in
// the runtime the loader opened.
struct ClPlatformObject;
using cl_platform_id = ClPlatformObject*;
constexpr cl_ulong kClDeviceTypeCpu = 1 << 1;
constexpr cl_ulong kClDeviceTypeGpu = 1 << 2;
constexpr cl_ulong kClDeviceTypeAll = 0xFFFFFFFF;
constexpr cl_uint kClDeviceType = 0x1000;
constexpr cl_uint kClDeviceName = 0x102B;
constexpr cl_uint kClPlatformName = 0x0902;

struct ClDiscovery {
  cl_int (*getPlatformIDs)(cl_uint, cl_platform_id*, cl_uint*);
  cl_int (*getPlatformInfo)(cl_platform_id, cl_uint, size_t, void*, size_t*);
  cl_int (*getDeviceIDs)(cl_platform_id, cl_ulong, cl_uint, cl_device_id*, cl_uint*);
  cl_int (*getDeviceInfo)(cl_device_id, cl_uint, size_t, void*, size_t*);
  cl_context (*createContext)(const intptr_t*, cl_uint, const cl_device_id*, void*, void*, cl_int*);
  cl_command_queue (*createCommandQueue)(cl_context, cl_device_id, cl_ulong, cl_int*);
  cl_int (*releaseCommandQueue)(cl_command_queue);
  cl_int (*releaseContext)(cl_context);

  template <class Fn>
  static bool look(Fn& slot, const char* name) {
    slot = reinterpret_cast<Fn>(openCLSymbol(name));
    return slot != nullptr;
  }
  bool find() {
    return look(getPlatformIDs, "clGetPlatformIDs") & look(getPlatformInfo, "clGetPlatformInfo") &
           look(getDeviceIDs, "clGetDeviceIDs") & look(getDeviceInfo, "clGetDeviceInfo") &
           look(createContext, "clCreateContext") & look(createCommandQueue, "clCreateCommandQueue") &
           look(releaseCommandQueue, "clReleaseCommandQueue") & look(releaseContext, "clReleaseContext");
  }
};

// The runtime and its discovery entry points; null with the reason when either is missing.
const ClDiscovery* openCLDiscovery(std::string* why) {
  static ClDiscovery discovery;
  static const bool found = loadOpenCL() && discovery.find();
  if (!found) *why = loadOpenCL() ? "the OpenCL runtime lacks device discovery" : "OpenCL not found";
  return found ? &discovery : nullptr;
}

struct ClDeviceRef {
  cl_platform_id platform = nullptr;
  cl_device_id device = nullptr;
  cl_ulong type = 0;
};

std::vector<ClDeviceRef> openCLDevices(const ClDiscovery& d, std::string* why) {
  std::vector<ClDeviceRef> found;
  cl_platform_id platforms[16];
  cl_uint count = 0;
  const cl_int err = d.getPlatformIDs(16, platforms, &count);
  if (err != kClSuccess || count == 0) {
    *why = "no OpenCL platform (clGetPlatformIDs returned " + std::to_string(err) + ")";
    return found;
  }
  for (cl_uint p = 0; p < count && p < 16; ++p) {
    cl_device_id devices[16];
    cl_uint n = 0;
    if (d.getDeviceIDs(platforms[p], kClDeviceTypeAll, 16, devices, &n) != kClSuccess) continue;
    for (cl_uint i = 0; i < n && i < 16; ++i) {
      ClDeviceRef ref{platforms[p], devices[i], 0};
      if (d.getDeviceInfo(devices[i], kClDeviceType, sizeof ref.type, &ref.type, nullptr) != kClSuccess) {
        ref.type = 0;
      }
      found.push_back(ref);
    }
  }
  if (found.empty()) *why = "no OpenCL device";
  return found;
}

template <class Object>
std::string clText(cl_int (*query)(Object, cl_uint, size_t, void*, size_t*), Object object, cl_uint what) {
  char text[256] = {};
  return query(object, what, sizeof text - 1, text, nullptr) == kClSuccess ? std::string(text) : "?";
}

class OpenCLDevice final : public GpuDevice {
 public:
  static std::unique_ptr<GpuDevice> open(bool gpuOnly, std::string* why) {
    const ClDiscovery* d = openCLDiscovery(why);
    if (!d) return nullptr;
    const std::vector<ClDeviceRef> devices = openCLDevices(*d, why);
    const ClDeviceRef* chosen = nullptr;
    for (const ClDeviceRef& ref : devices) {
      if (ref.type & kClDeviceTypeGpu) {
        chosen = &ref;
        break;
      }
    }
    if (!chosen && !gpuOnly && !devices.empty()) chosen = &devices.front();
    if (!chosen) {
      if (gpuOnly && !devices.empty()) *why = "no OpenCL GPU";
      return nullptr;
    }
    cl_int err = kClSuccess;
    cl_context context = d->createContext(nullptr, 1, &chosen->device, nullptr, nullptr, &err);
    if (!context || err != kClSuccess) {
      *why = "clCreateContext returned " + std::to_string(err);
      return nullptr;
    }
    cl_command_queue queue = d->createCommandQueue(context, chosen->device, 0, &err);
    if (!queue || err != kClSuccess) {
      d->releaseContext(context);
      *why = "clCreateCommandQueue returned " + std::to_string(err);
      return nullptr;
    }
    const std::string name = clText(d->getDeviceInfo, chosen->device, kClDeviceName) + " (" +
                             clText(d->getPlatformInfo, chosen->platform, kClPlatformName) + ")";
    return std::unique_ptr<GpuDevice>(new OpenCLDevice(*d, *chosen, context, queue, name));
  }

  ~OpenCLDevice() override {
    cl_->finish(queue_);
    d_.releaseCommandQueue(queue_);
    d_.releaseContext(context_);
  }

  int32_t framework() const override { return PF_GpuFramework_OpenCL; }
  const std::string& name() const override { return name_; }
  PF_GpuDeviceInfo info() const override {
    return PF_GpuDeviceInfo{PF_GpuFramework_OpenCL, ref_.platform, ref_.device, context_, queue_};
  }

  bool allocate(uint64_t bytes, void** memory) override {
    cl_int err = kClSuccess;
    cl_mem m = cl_->createBuffer(context_, kClMemReadWrite, size_t(bytes), nullptr, &err);
    *memory = err == kClSuccess ? m : nullptr;
    return *memory != nullptr;
  }
  void release(void* memory) override {
    if (memory) cl_->releaseMemObject(static_cast<cl_mem>(memory));
  }
  bool upload(void* memory, const void* host, size_t bytes) override {
    return cl_->enqueueWriteBuffer(queue_, static_cast<cl_mem>(memory), kClTrue, 0, bytes, host, 0, nullptr,
                                   nullptr) == kClSuccess;
  }
  bool download(void* host, void* memory, size_t bytes) override {
    return cl_->finish(queue_) == kClSuccess &&
           cl_->enqueueReadBuffer(queue_, static_cast<cl_mem>(memory), kClTrue, 0, bytes, host, 0, nullptr,
                                  nullptr) == kClSuccess;
  }

 private:
  OpenCLDevice(const ClDiscovery& d, const ClDeviceRef& ref, cl_context context, cl_command_queue queue,
               std::string name)
      : d_(d), cl_(openCL()), ref_(ref), context_(context), queue_(queue), name_(std::move(name)) {}

  const ClDiscovery& d_;
  const OpenCLApi* cl_;
  ClDeviceRef ref_;
  cl_context context_;
  cl_command_queue queue_;
  std::string name_;
};

// ---------------------------------------------------------------- CUDA
using CUdevice = int;

struct CuDiscovery {
  CUresult(FM_CU_CALL* deviceGetCount)(int*);
  CUresult(FM_CU_CALL* deviceGet)(CUdevice*, int);
  CUresult(FM_CU_CALL* deviceGetName)(char*, int, CUdevice);
  CUresult(FM_CU_CALL* primaryCtxRetain)(CUcontext*, CUdevice);
  CUresult(FM_CU_CALL* primaryCtxRelease)(CUdevice);  // optional
  CUresult(FM_CU_CALL* streamCreate)(CUstream*, unsigned);
  CUresult(FM_CU_CALL* streamDestroy)(CUstream);

  template <class Fn>
  static bool look(Fn& slot, const char* name) {
    slot = reinterpret_cast<Fn>(cudaSymbol(name));
    return slot != nullptr;
  }
  bool find() {
    look(primaryCtxRelease, "cuDevicePrimaryCtxRelease_v2");
    return look(deviceGetCount, "cuDeviceGetCount") & look(deviceGet, "cuDeviceGet") &
           look(deviceGetName, "cuDeviceGetName") & look(primaryCtxRetain, "cuDevicePrimaryCtxRetain") &
           look(streamCreate, "cuStreamCreate") & look(streamDestroy, "cuStreamDestroy_v2");
  }
};

const CuDiscovery* cudaDiscovery(std::string* why) {
  static CuDiscovery discovery;
  static const bool found = loadCuda() && discovery.find();
  if (!found) *why = loadCuda() ? "the CUDA driver lacks device discovery" : "CUDA driver not found";
  return found ? &discovery : nullptr;
}

class CudaDevice final : public GpuDevice {
 public:
  static std::unique_ptr<GpuDevice> open(std::string* why) {
    const CuDiscovery* d = cudaDiscovery(why);
    if (!d) return nullptr;
    int count = 0;
    CUdevice device = 0;
    CUcontext context = nullptr;
    CUresult err = d->deviceGetCount(&count);
    if (err == kCudaSuccess && count < 1) {
      *why = "no CUDA device";
      return nullptr;
    }
    if (err == kCudaSuccess) err = d->deviceGet(&device, 0);
    if (err == kCudaSuccess) err = d->primaryCtxRetain(&context, device);
    if (err != kCudaSuccess || !context) {
      *why = "no context on CUDA device 0 (error " + std::to_string(err) + ")";
      return nullptr;
    }
    CUstream stream = nullptr;
    {
      CudaContextScope scope(*cuda(), context);
      err = d->streamCreate(&stream, 0);
    }
    if (err != kCudaSuccess || !stream) {
      if (d->primaryCtxRelease) d->primaryCtxRelease(device);
      *why = "cuStreamCreate returned " + std::to_string(err);
      return nullptr;
    }
    char name[256] = {};
    d->deviceGetName(name, sizeof name - 1, device);
    return std::unique_ptr<GpuDevice>(new CudaDevice(*d, device, context, stream, name));
  }

  ~CudaDevice() override {
    {
      CudaContextScope scope(*cu_, context_);
      cu_->streamSynchronize(stream_);
      d_.streamDestroy(stream_);
    }
    if (d_.primaryCtxRelease) d_.primaryCtxRelease(device_);
  }

  int32_t framework() const override { return PF_GpuFramework_Cuda; }
  const std::string& name() const override { return name_; }
  PF_GpuDeviceInfo info() const override {
    return PF_GpuDeviceInfo{PF_GpuFramework_Cuda, nullptr, reinterpret_cast<void*>(intptr_t(device_)), context_,
                            stream_};
  }

  bool allocate(uint64_t bytes, void** memory) override {
    CudaContextScope scope(*cu_, context_);
    CUdeviceptr address = 0;
    *memory = cu_->memAlloc(&address, size_t(bytes)) == kCudaSuccess ? deviceHandle(address) : nullptr;
    return *memory != nullptr;
  }
  void release(void* memory) override {
    if (!memory) return;
    CudaContextScope scope(*cu_, context_);
    cu_->memFree(devicePointer(memory));
  }
  bool upload(void* memory, const void* host, size_t bytes) override {
    CudaContextScope scope(*cu_, context_);
    return cu_->streamSynchronize(stream_) == kCudaSuccess &&
           cu_->memcpyHtoD(devicePointer(memory), host, bytes) == kCudaSuccess;
  }
  bool download(void* host, void* memory, size_t bytes) override {
    CudaContextScope scope(*cu_, context_);
    return cu_->streamSynchronize(stream_) == kCudaSuccess &&
           cu_->memcpyDtoH(host, devicePointer(memory), bytes) == kCudaSuccess;
  }

 private:
  CudaDevice(const CuDiscovery& d, CUdevice device, CUcontext context, CUstream stream, std::string name)
      : d_(d), cu_(cuda()), device_(device), context_(context), stream_(stream), name_(std::move(name)) {}

  const CuDiscovery& d_;
  const CudaApi* cu_;
  CUdevice device_;
  CUcontext context_;
  CUstream stream_;
  std::string name_;
};

}  // namespace

std::unique_ptr<GpuDevice> GpuDevice::open(GpuChoice choice, std::string* why) {
  std::string reason;
  std::unique_ptr<GpuDevice> device;
  switch (choice) {
    case GpuChoice::Off:
      reason = "no GPU asked for";
      break;
    case GpuChoice::Cuda:
      device = CudaDevice::open(&reason);
      break;
    case GpuChoice::OpenCL:
      device = OpenCLDevice::open(false, &reason);
      break;
    case GpuChoice::Auto: {
      std::string cudaWhy;
      device = CudaDevice::open(&cudaWhy);
      if (!device) device = OpenCLDevice::open(true, &reason);
      if (!device) reason = cudaWhy + "; " + reason;
      break;
    }
  }
  if (!device && why) *why = reason;
  return device;
}

std::vector<GpuDeviceListing> listGpuDevices(std::vector<std::string>* notes) {
  std::vector<GpuDeviceListing> found;
  std::string why;
  if (const CuDiscovery* d = cudaDiscovery(&why)) {
    int count = 0;
    if (d->deviceGetCount(&count) != kCudaSuccess || count < 1) {
      if (notes) notes->push_back("CUDA: no device");
    }
    for (int i = 0; i < count; ++i) {
      CUdevice device = 0;
      char name[256] = {};
      if (d->deviceGet(&device, i) == kCudaSuccess) d->deviceGetName(name, sizeof name - 1, device);
      found.push_back({"CUDA", name[0] ? name : "?", "GPU"});
    }
  } else if (notes) {
    notes->push_back("CUDA: " + why);
  }
  why.clear();
  if (const ClDiscovery* d = openCLDiscovery(&why)) {
    for (const ClDeviceRef& ref : openCLDevices(*d, &why)) {
      const std::string kind = ref.type & kClDeviceTypeGpu ? "GPU" : ref.type & kClDeviceTypeCpu ? "CPU" : "other";
      found.push_back({"OpenCL",
                       clText(d->getDeviceInfo, ref.device, kClDeviceName) + " (" +
                           clText(d->getPlatformInfo, ref.platform, kClPlatformName) + ")",
                       kind});
    }
  }
  if (!why.empty() && notes) notes->push_back("OpenCL: " + why);
  return found;
}

}  // namespace fm::host
