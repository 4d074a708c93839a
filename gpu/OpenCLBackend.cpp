#include "gpu/OpenCLBackend.h"

#include <string>

#include "gpu/OpenCLLoader.h"

namespace fm {
namespace {

cl_mem memOf(const void* handle) { return static_cast<cl_mem>(const_cast<void*>(handle)); }

}  // namespace

OpenCLBackend::OpenCLBackend(GpuAllocator* allocator, OpenCLProgram* program, cl_command_queue queue)
    : GpuBackendBase(allocator), program(program), queue(queue) {}

OpenCLBackend::~OpenCLBackend() {
  if (!finish()) failed = true;
  releasePending();
}

bool OpenCLBackend::queueIsOutOfOrder() {
  if (queueOrder >= 0) return queueOrder == 1;
  queueOrder = 0;
  const OpenCLApi* cl = openCL();
  if (cl && cl->getCommandQueueInfo) {
    cl_command_queue_properties properties = 0;
    // A queue whose properties cannot be read is assumed out of order: barriers cost a little,
    // reordered kernels cost the picture.
    if (cl->getCommandQueueInfo(queue, kClQueueProperties, sizeof properties, &properties, nullptr) == kClSuccess)
      queueOrder = (properties & kClQueueOutOfOrderExecModeEnable) ? 1 : 0;
    else
      queueOrder = 1;
  }
  if (queueOrder == 1) barrier();
  return queueOrder == 1;
}

bool OpenCLBackend::barrier() {
  const OpenCLApi* cl = openCL();
  if (!cl) return false;
  if (cl->enqueueBarrierWithWaitList) return cl->enqueueBarrierWithWaitList(queue, 0, nullptr, nullptr) == kClSuccess;
  if (cl->enqueueBarrier) return cl->enqueueBarrier(queue) == kClSuccess;
  return cl->finish(queue) == kClSuccess;
}

bool OpenCLBackend::enqueueKernel(int kernel, Buffer* dst, const Buffer* srcA, const Buffer* srcB, const Table* tab,
                                  const FMParams* p, int gridW, int rows) {
  const OpenCLApi* cl = openCL();
  if (!cl || !program || !dst || !dst->data) return false;
  // A kernel argument is never null: absent inputs are bound to the destination, which the
  // kernels then do not read.
  const cl_mem mems[4] = {memOf(dst->data), memOf(srcA && srcA->data ? srcA->data : dst->data),
                          memOf(srcB && srcB->data ? srcB->data : dst->data),
                          memOf(tab && tab->data ? tab->data : dst->data)};
  std::lock_guard<std::mutex> guard(program->lock);
  cl_kernel k = program->kernels[kernel];
  bool argsSet = true;
  for (cl_uint i = 0; i < 4 && argsSet; ++i) argsSet = cl->setKernelArg(k, i, sizeof(cl_mem), &mems[i]) == kClSuccess;
  if (!argsSet || cl->setKernelArg(k, 4, sizeof(FMParams), p) != kClSuccess) {
    lastError = "clSetKernelArg";
    return false;
  }
  const size_t global[2] = {size_t(gridW), size_t(rows)};
  const cl_int code = cl->enqueueNDRangeKernel(queue, k, 2, nullptr, global, nullptr, 0, nullptr, nullptr);
  if (code != kClSuccess) {
    lastError = "clEnqueueNDRangeKernel " + std::to_string(code);
    return false;
  }
  if (queueIsOutOfOrder() && !barrier()) {
    lastError = "clEnqueueBarrier";
    return false;
  }
  return true;
}

bool OpenCLBackend::writeMemory(void* device, const void* host, size_t bytes) {
  const OpenCLApi* cl = openCL();
  if (!cl) return false;
  if (cl->enqueueWriteBuffer(queue, memOf(device), kClTrue, 0, bytes, host, 0, nullptr, nullptr) != kClSuccess)
    return false;
  return queueIsOutOfOrder() ? barrier() : true;
}

bool OpenCLBackend::wholeImage(const Buffer& buf, const void* host) const {
  return openCL() && canCopyWhole(buf, host);
}

bool OpenCLBackend::readImage(const Buffer& buf, void* host) {
  if (!wholeImage(buf, host) || !finish()) return false;
  return openCL()->enqueueReadBuffer(queue, memOf(buf.data), kClTrue, 0, imageBytes(buf), host, 0, nullptr,
                                     nullptr) == kClSuccess;
}

bool OpenCLBackend::writeImage(const Buffer& buf, const void* host) {
  if (!wholeImage(buf, host) || !finish()) return false;
  return openCL()->enqueueWriteBuffer(queue, memOf(buf.data), kClTrue, 0, imageBytes(buf), host, 0, nullptr,
                                      nullptr) == kClSuccess;
}

bool OpenCLBackend::finish() {
  const OpenCLApi* cl = openCL();
  return cl && cl->finish(queue) == kClSuccess;
}

}  // namespace fm
