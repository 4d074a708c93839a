#include "tests/support/OpenCLBackend.h"
#include "tests/support/TestBackends.h"

#include <cstring>
#include <vector>

#include "tests/support/KernelRun.h"

namespace fmtest {
namespace {

constexpr uint64_t kMaxImageBytes = uint64_t(1) << 34;

cl_mem memOf(const void* data) { return static_cast<cl_mem>(const_cast<void*>(data)); }

}  // namespace

std::unique_ptr<OpenCLBackend> OpenCLBackend::create(std::string* why) {
  OpenCLHarness* cl = OpenCLHarness::get();
  if (!cl) {
    if (why) *why = "no OpenCL: " + OpenCLHarness::why();
    return nullptr;
  }
  void *context = nullptr, *queue = nullptr, *program = nullptr;
  if (!cl->objects(&context, &queue, &program, why)) return nullptr;
  std::unique_ptr<OpenCLBackend> be(new OpenCLBackend());
  // The harness owns these for the whole process; the backend owns only its kernel objects.
  be->context = static_cast<cl_context>(context);
  be->queue = static_cast<cl_command_queue>(queue);
  be->program = static_cast<cl_program>(program);
  return be;
}

OpenCLBackend::~OpenCLBackend() {
  if (queue) clFinish(queue);
  for (cl_kernel k : kernels)
    if (k) clReleaseKernel(k);
}

bool OpenCLBackend::fail(const char* call, cl_int err) {
  lastError = std::string(call) + " " + std::to_string(err);
  return false;
}

bool OpenCLBackend::allocImage(fm::Buffer& buf, int width, int height) {
  if (width < 1 || height < 1) return false;
  const int64_t pitch = (int64_t(width) + kRowGranularity - 1) / kRowGranularity * kRowGranularity;
  const uint64_t bytes = uint64_t(pitch) * uint64_t(height) * 16;
  if (pitch > INT32_MAX || bytes > kMaxImageBytes) return false;
  cl_int err = CL_SUCCESS;
  cl_mem mem = clCreateBuffer(context, CL_MEM_READ_WRITE, bytes, nullptr, &err);
  if (err != CL_SUCCESS || !mem) return fail("clCreateBuffer", err);
  buf.data = mem;
  buf.width = width;
  buf.height = height;
  buf.pitch = int32_t(pitch);
  buf.owned = true;
  ++liveImages;
  return true;
}

void OpenCLBackend::freeImage(fm::Buffer& buf) {
  if (buf.data && buf.owned) {
    clReleaseMemObject(memOf(buf.data));
    --liveImages;
  }
  buf = fm::Buffer();
}

bool OpenCLBackend::uploadTable(fm::Table& tab, const float* values, size_t count) {
  // An empty table still needs a memory object to pass.
  static const float none = 0.0f;
  cl_int err = CL_SUCCESS;
  cl_mem mem = clCreateBuffer(context, CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR, (count ? count : 1) * sizeof(float),
                              const_cast<float*>(count ? values : &none), &err);
  if (err != CL_SUCCESS || !mem) return fail("clCreateBuffer (table)", err);
  tab.data = mem;
  tab.count = count;
  ++liveTables;
  return true;
}

void OpenCLBackend::freeTable(fm::Table& tab) {
  if (tab.data) {
    clReleaseMemObject(memOf(tab.data));
    --liveTables;
  }
  tab = fm::Table();
}

bool OpenCLBackend::launch(int kernel, fm::Buffer* dst, const fm::Buffer* srcA, const fm::Buffer* srcB,
                           const fm::Table* tab, FMParams* p, int gridW, int gridH, double /*cost*/) {
  if (failed) return false;
  if (gridW < 1 || gridH < 1) return true;
  const char* name = fm::kernelName(kernel);
  if (!name) return false;
  cl_int err = CL_SUCCESS;
  if (!kernels[kernel]) {
    kernels[kernel] = clCreateKernel(program, name, &err);
    if (err != CL_SUCCESS) {
      kernels[kernel] = nullptr;
      failed = true;
      return fail("clCreateKernel", err);
    }
  }
  cl_kernel k = kernels[kernel];
  p->y0 = 0;
  const void* mems[4] = {dst ? dst->data : nullptr, srcA ? srcA->data : nullptr, srcB ? srcB->data : nullptr,
                         tab ? tab->data : nullptr};
  for (cl_uint i = 0; i < 4 && err == CL_SUCCESS; ++i) {
    cl_mem m = memOf(mems[i]);
    err = clSetKernelArg(k, i, sizeof(cl_mem), m ? &m : nullptr);
  }
  if (err == CL_SUCCESS) err = clSetKernelArg(k, 4, sizeof(FMParams), p);
  if (err != CL_SUCCESS) {
    failed = true;
    return fail("clSetKernelArg", err);
  }
  const size_t global[2] = {size_t(gridW), size_t(gridH)};
  err = clEnqueueNDRangeKernel(queue, k, 2, nullptr, global, nullptr, 0, nullptr, nullptr);
  if (err != CL_SUCCESS) {
    failed = true;
    return fail("clEnqueueNDRangeKernel", err);
  }
  return true;
}

bool OpenCLBackend::download(const fm::Buffer& buf, void* host) {
  if (!host || !buf.data) return false;
  const size_t bytes = size_t(buf.pitch) * size_t(buf.height) * 16;
  const cl_int err = clEnqueueReadBuffer(queue, memOf(buf.data), CL_TRUE, 0, bytes, host, 0, nullptr, nullptr);
  return err == CL_SUCCESS || fail("clEnqueueReadBuffer", err);
}

bool OpenCLBackend::upload(fm::Buffer& buf, const HostImage& image) {
  fm::Buffer made;
  if (!allocImage(made, image.width(), image.height())) return false;
  std::vector<Px> staged(size_t(made.pitch) * size_t(made.height));
  for (int y = 0; y < image.height(); ++y)
    std::memcpy(&staged[size_t(y) * made.pitch], &image.at(0, y), size_t(image.width()) * sizeof(Px));
  const cl_int err = clEnqueueWriteBuffer(queue, memOf(made.data), CL_TRUE, 0, staged.size() * sizeof(Px),
                                          staged.data(), 0, nullptr, nullptr);
  if (err != CL_SUCCESS) {
    freeImage(made);
    return fail("clEnqueueWriteBuffer", err);
  }
  buf = made;
  return true;
}

bool OpenCLBackend::read(const fm::Buffer& buf, HostImage& image) { return readImage(*this, buf, image); }

}  // namespace fmtest
