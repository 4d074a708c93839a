#include <CL/cl.h>

#include <map>
#include <mutex>

#include "engine/Backend.h"
#include "gpu/KernelTexts.h"
#include "tests/support/KernelRun.h"

namespace fmtest {

struct OpenCLHarness::Impl {
  cl_context context = nullptr;
  cl_device_id device = nullptr;
  cl_command_queue queue = nullptr;
  std::map<std::string, cl_program> programs;  // by extra source; "" = the kernel text alone
  std::mutex lock;

  cl_program program(const std::string& extra, std::string* error) {
    auto it = programs.find(extra);
    if (it != programs.end()) return it->second;
    std::string text(fm::openclKernelText(), fm::openclKernelTextSize());
    text += extra;
    const char* src = text.c_str();
    const size_t len = text.size();
    cl_int err = 0;
    cl_program prog = clCreateProgramWithSource(context, 1, &src, &len, &err);
    if (err != CL_SUCCESS) {
      if (error) *error = "clCreateProgramWithSource " + std::to_string(err);
      return nullptr;
    }
    err = clBuildProgram(prog, 1, &device, "", nullptr, nullptr);
    if (err != CL_SUCCESS) {
      size_t n = 0;
      clGetProgramBuildInfo(prog, device, CL_PROGRAM_BUILD_LOG, 0, nullptr, &n);
      std::string log(n, '\0');
      clGetProgramBuildInfo(prog, device, CL_PROGRAM_BUILD_LOG, n, &log[0], nullptr);
      if (error) *error = "clBuildProgram " + std::to_string(err) + ": " + log;
      clReleaseProgram(prog);
      return nullptr;
    }
    programs[extra] = prog;
    return prog;
  }
};

namespace {

std::string gWhy;

cl_mem makeBuffer(cl_context ctx, const void* host, size_t bytes, cl_int* err) {
  return clCreateBuffer(ctx, CL_MEM_READ_WRITE | CL_MEM_COPY_HOST_PTR, bytes, const_cast<void*>(host), err);
}

// Owns the memory objects of one launch.
struct Mems {
  cl_mem m[4] = {nullptr, nullptr, nullptr, nullptr};
  ~Mems() {
    for (cl_mem x : m)
      if (x) clReleaseMemObject(x);
  }
};

}  // namespace

const std::string& OpenCLHarness::why() { return gWhy; }

OpenCLHarness* OpenCLHarness::get() {
  static OpenCLHarness* instance = [] () -> OpenCLHarness* {
    cl_platform_id platforms[8];
    cl_uint np = 0;
    cl_int err = clGetPlatformIDs(8, platforms, &np);
    if (err != CL_SUCCESS || np == 0) {
      gWhy = "clGetPlatformIDs returned " + std::to_string(err);
      return nullptr;
    }
    for (cl_uint i = 0; i < np; ++i) {
      cl_device_id dev = nullptr;
      cl_uint nd = 0;
      if (clGetDeviceIDs(platforms[i], CL_DEVICE_TYPE_ALL, 1, &dev, &nd) != CL_SUCCESS || nd == 0) continue;
      cl_context ctx = clCreateContext(nullptr, 1, &dev, nullptr, nullptr, &err);
      if (err != CL_SUCCESS) continue;
      cl_command_queue q = clCreateCommandQueue(ctx, dev, 0, &err);
      if (err != CL_SUCCESS) {
        clReleaseContext(ctx);
        continue;
      }
      auto* h = new OpenCLHarness();
      h->impl = new Impl();
      h->impl->context = ctx;
      h->impl->device = dev;
      h->impl->queue = q;
      return h;
    }
    gWhy = "no usable OpenCL device";
    return nullptr;
  }();
  return instance;
}

bool OpenCLHarness::run(const KernelCall& call, std::string* error) {
  std::lock_guard<std::mutex> guard(impl->lock);
  cl_program prog = impl->program("", error);
  if (!prog) return false;
  const char* name = fm::kernelName(call.kernel);
  if (!name) {
    if (error) *error = "no kernel with identifier " + std::to_string(call.kernel);
    return false;
  }
  cl_int err = 0;
  cl_kernel k = clCreateKernel(prog, name, &err);
  if (err != CL_SUCCESS) {
    if (error) *error = std::string("clCreateKernel ") + name + " " + std::to_string(err);
    return false;
  }
  Mems mems;
  const HostImage* imgs[3] = {call.dst, call.srcA, call.srcB};
  for (int i = 0; i < 3 && err == CL_SUCCESS; ++i)
    if (imgs[i]) mems.m[i] = makeBuffer(impl->context, imgs[i]->data(), imgs[i]->floats() * 4, &err);
  if (call.table && err == CL_SUCCESS) {
    static const float one = 0.0f;
    const bool empty = call.table->empty();
    mems.m[3] = makeBuffer(impl->context, empty ? &one : call.table->data(),
                           (empty ? 1 : call.table->size()) * 4, &err);
  }
  FMParams p = call.params;
  p.y0 = 0;
  for (cl_uint i = 0; i < 4 && err == CL_SUCCESS; ++i)
    err = clSetKernelArg(k, i, sizeof(cl_mem), mems.m[i] ? &mems.m[i] : nullptr);
  if (err == CL_SUCCESS) err = clSetKernelArg(k, 4, sizeof(FMParams), &p);
  if (err == CL_SUCCESS && call.gridW > 0 && call.gridH > 0) {
    const size_t global[2] = {size_t(call.gridW), size_t(call.gridH)};
    err = clEnqueueNDRangeKernel(impl->queue, k, 2, nullptr, global, nullptr, 0, nullptr, nullptr);
  }
  if (err == CL_SUCCESS && call.dst)
    err = clEnqueueReadBuffer(impl->queue, mems.m[0], CL_TRUE, 0, call.dst->floats() * 4,
                              call.dst->data(), 0, nullptr, nullptr);
  clReleaseKernel(k);
  if (err != CL_SUCCESS && error) *error = "OpenCL error " + std::to_string(err);
  return err == CL_SUCCESS;
}

bool OpenCLHarness::objects(void** context, void** queue, void** program, std::string* error) {
  std::lock_guard<std::mutex> guard(impl->lock);
  cl_program prog = impl->program("", error);
  if (!prog) return false;
  *context = impl->context;
  *queue = impl->queue;
  *program = prog;
  return true;
}

bool OpenCLHarness::runProbe(const std::string& extraSource, const char* kernel, const FMParams& p,
                             std::vector<int>& out, int outInts, std::string* error) {
  std::lock_guard<std::mutex> guard(impl->lock);
  cl_program prog = impl->program(extraSource, error);
  if (!prog) return false;
  cl_int err = 0;
  cl_kernel k = clCreateKernel(prog, kernel, &err);
  if (err != CL_SUCCESS) {
    if (error) *error = "clCreateKernel " + std::to_string(err);
    return false;
  }
  out.assign(size_t(outInts), 0);
  Mems mems;
  mems.m[0] = makeBuffer(impl->context, out.data(), out.size() * sizeof(int), &err);
  if (err == CL_SUCCESS) err = clSetKernelArg(k, 0, sizeof(cl_mem), &mems.m[0]);
  if (err == CL_SUCCESS) err = clSetKernelArg(k, 1, sizeof(FMParams), &p);
  const size_t one = 1;
  if (err == CL_SUCCESS) err = clEnqueueNDRangeKernel(impl->queue, k, 1, nullptr, &one, nullptr, 0, nullptr, nullptr);
  if (err == CL_SUCCESS)
    err = clEnqueueReadBuffer(impl->queue, mems.m[0], CL_TRUE, 0, out.size() * sizeof(int), out.data(), 0,
                              nullptr, nullptr);
  clReleaseKernel(k);
  if (err != CL_SUCCESS && error) *error = "OpenCL error " + std::to_string(err);
  return err == CL_SUCCESS;
}

}  // namespace fmtest
