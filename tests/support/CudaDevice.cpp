#include "tests/support/CudaDevice.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "gpu/CudaLoader.h"

namespace fmtest {
namespace {

using fm::CUresult;
using CUdevice = int;

// Device discovery is the host's business, not the product's: its entry points are looked up
// here, in the driver the product loaded.
struct Discovery {
  CUresult(FM_CU_CALL* deviceGetCount)(int*);
  CUresult(FM_CU_CALL* deviceGet)(CUdevice*, int);
  CUresult(FM_CU_CALL* deviceGetName)(char*, int, CUdevice);
  CUresult(FM_CU_CALL* primaryCtxRetain)(fm::CUcontext*, CUdevice);
  CUresult(FM_CU_CALL* streamCreate)(fm::CUstream*, unsigned);
  CUresult(FM_CU_CALL* streamDestroy)(fm::CUstream);
  CUresult(FM_CU_CALL* memcpyDtoDAsync)(fm::CUdeviceptr, fm::CUdeviceptr, size_t, fm::CUstream);

  bool find() {
    return look(deviceGetCount, "cuDeviceGetCount") & look(deviceGet, "cuDeviceGet") &
           look(deviceGetName, "cuDeviceGetName") & look(primaryCtxRetain, "cuDevicePrimaryCtxRetain") &
           look(streamCreate, "cuStreamCreate") & look(streamDestroy, "cuStreamDestroy_v2") &
           look(memcpyDtoDAsync, "cuMemcpyDtoDAsync_v2");
  }
  template <class Fn>
  static bool look(Fn& slot, const char* name) {
    slot = reinterpret_cast<Fn>(fm::cudaSymbol(name));
    return slot != nullptr;
  }
};

Discovery gDiscovery;
std::string gWhy;

}  // namespace

CudaDevice* CudaDevice::open() {
  if (!fm::loadCuda()) {
    gWhy = "CUDA driver not found";
    return nullptr;
  }
  if (!gDiscovery.find()) {
    gWhy = "the CUDA driver lacks the device discovery entry points";
    return nullptr;
  }
  int count = 0;
  CUdevice device = 0;
  fm::CUcontext context = nullptr;
  CUresult err = gDiscovery.deviceGetCount(&count);
  if (err == fm::kCudaSuccess && count < 1) err = -1;
  if (err == fm::kCudaSuccess) err = gDiscovery.deviceGet(&device, 0);
  if (err == fm::kCudaSuccess) err = gDiscovery.primaryCtxRetain(&context, device);
  if (err != fm::kCudaSuccess || !context) {
    gWhy = count < 1 ? "no CUDA device" : "no context on CUDA device 0: error " + std::to_string(err);
    return nullptr;
  }
  char name[256] = {};
  gDiscovery.deviceGetName(name, sizeof name - 1, device);
  return new CudaDevice(context, name);
}

CudaDevice::CudaDevice(fm::CUcontext context, std::string name) : context(context), name(std::move(name)) {
  module = fm::loadCudaModule(context, &loadError);
}

CudaDevice* CudaDevice::get() {
  // Lives for the process, as the driver does.
  static CudaDevice* const instance = open();
  return instance;
}

const std::string& CudaDevice::why() { return gWhy; }

fm::CUstream CudaDevice::createStream() {
  fm::CudaContextScope scope(*fm::cuda(), context);
  fm::CUstream stream = nullptr;
  return gDiscovery.streamCreate(&stream, 0) == fm::kCudaSuccess ? stream : nullptr;
}

void CudaDevice::destroyStream(fm::CUstream stream) {
  fm::CudaContextScope scope(*fm::cuda(), context);
  if (stream) gDiscovery.streamDestroy(stream);
}

bool CudaDevice::copy(const void* to, const void* from, size_t bytes, fm::CUstream stream) {
  return gDiscovery.memcpyDtoDAsync(fm::devicePointer(to), fm::devicePointer(from), bytes, stream) ==
         fm::kCudaSuccess;
}

void reportNoCuda(const std::string& why) {
  const char* expected = std::getenv("FM_REQUIRE_CUDA");
  if (expected && *expected && std::strcmp(expected, "0") != 0) {
    // Fatal, so that a fixture's SetUp stops its test too.
    GTEST_FAIL() << "no CUDA device where one is expected (FM_REQUIRE_CUDA): " << why;
  }
  GTEST_SKIP() << "no CUDA device: " << why;
}

}  // namespace fmtest
