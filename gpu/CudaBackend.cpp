#include "gpu/CudaBackend.h"

#include <string>

#include "gpu/CudaLoader.h"

namespace fm {
namespace {

struct BlockShape {
  unsigned width, height;
};

// 256 threads a block, as wide as the grid allows: narrow grids (a column of prefix sums, a few
// strips) would otherwise leave most threads of each block idle.
BlockShape blockShape(int gridW) {
  if (gridW < 4) return {1, 256};
  if (gridW < 16) return {4, 64};
  return {16, 16};
}

// The driver's limit on a grid's second dimension, in blocks.
constexpr int kMaxGridRows = 65535;

// An absent image or table goes as address 0; the kernels do not read it.
template <class Handle>
CUdeviceptr addressOf(const Handle* handle) {
  return handle ? devicePointer(handle->data) : 0;
}

}  // namespace

CudaBackend::CudaBackend(GpuAllocator* allocator, CudaModule* module, CUstream stream)
    : GpuBackendBase(allocator), module(module), stream(stream) {}

CudaBackend::~CudaBackend() {
  if (!finish()) failed = true;
  releasePending();
  if (contextPushed) {
    CUcontext popped = nullptr;
    cuda()->ctxPopCurrent(&popped);
    contextPushed = false;
  }
}

bool CudaBackend::enterContext() {
  const CudaApi* cu = cuda();
  if (!cu) return false;
  if (contextPushed || !module || !module->context) return true;
  const CUresult pushed = cu->ctxPushCurrent(module->context);
  contextPushed = pushed == kCudaSuccess;
  if (!contextPushed) lastError = "cuCtxPushCurrent_v2 " + std::to_string(pushed);
  return contextPushed;
}

int CudaBackend::maxBandRows(int gridW) const { return kMaxGridRows * int(blockShape(gridW).height); }

bool CudaBackend::enqueueKernel(int kernel, Buffer* dst, const Buffer* srcA, const Buffer* srcB, const Table* tab,
                                const FMParams* p, int gridW, int rows) {
  const CudaApi* cu = cuda();
  // Every kernel writes its destination: a null address would fault the whole context.
  if (!cu || !module || !dst || !dst->data) return false;
  // The driver copies the values behind these addresses at the launch: nothing here needs to
  // outlive the call, and renders sharing the module never see each other's arguments.
  CUdeviceptr d = addressOf(dst), a = addressOf(srcA), b = addressOf(srcB), t = addressOf(tab);
  FMParams block = *p;
  void* arguments[5] = {&d, &a, &b, &t, &block};
  const BlockShape shape = blockShape(gridW);
  const unsigned gridX = (unsigned(gridW) + shape.width - 1) / shape.width;
  const unsigned gridY = (unsigned(rows) + shape.height - 1) / shape.height;
  const CUresult launched = cu->launchKernel(module->functions[kernel], gridX, gridY, 1, shape.width, shape.height,
                                             1, 0, stream, arguments, nullptr);
  if (launched != kCudaSuccess) {
    lastError = "cuLaunchKernel " + std::to_string(launched);
    return false;
  }
  return true;
}

bool CudaBackend::writeMemory(void* device, const void* host, size_t bytes) {
  const CudaApi* cu = cuda();
  return cu && cu->memcpyHtoDAsync(devicePointer(device), host, bytes, stream) == kCudaSuccess;
}

bool CudaBackend::readImage(const Buffer& buf, void* host) {
  if (!cuda() || !canCopyWhole(buf, host) || !finish()) return false;
  return cuda()->memcpyDtoH(host, devicePointer(buf.data), imageBytes(buf)) == kCudaSuccess;
}

bool CudaBackend::writeImage(const Buffer& buf, const void* host) {
  if (!cuda() || !canCopyWhole(buf, host) || !finish()) return false;
  return cuda()->memcpyHtoD(devicePointer(buf.data), host, imageBytes(buf)) == kCudaSuccess;
}

bool CudaBackend::finish() {
  const CudaApi* cu = cuda();
  return cu && cu->streamSynchronize(stream) == kCudaSuccess;
}

}  // namespace fm
