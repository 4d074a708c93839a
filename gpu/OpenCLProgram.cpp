#include "gpu/OpenCLProgram.h"

#include <memory>

#include "engine/Backend.h"
#include "gpu/KernelTexts.h"
#include "gpu/OpenCLLoader.h"

namespace fm {
namespace {

void say(std::string* message, std::string text) {
  if (message) *message = std::move(text);
}

std::string buildLog(const OpenCLApi& cl, cl_program program, cl_device_id device) {
  size_t size = 0;
  if (cl.getProgramBuildInfo(program, device, kClProgramBuildLog, 0, nullptr, &size) != kClSuccess || size == 0)
    return std::string();
  std::string log(size, '\0');
  if (cl.getProgramBuildInfo(program, device, kClProgramBuildLog, size, &log[0], nullptr) != kClSuccess)
    return std::string();
  log.resize(log.find('\0') == std::string::npos ? log.size() : log.find('\0'));
  return log;
}

}  // namespace

cl_program compileOpenCLSource(cl_context context, cl_device_id device, const char* source, size_t size,
                               std::string* message) {
  const OpenCLApi* cl = openCL();
  if (!cl) {
    say(message, "OpenCL not found");
    return nullptr;
  }
  cl_int error = kClSuccess;
  cl_program program = cl->createProgramWithSource(context, 1, &source, &size, &error);
  if (!program || error != kClSuccess) {
    if (program) cl->releaseProgram(program);
    say(message, "clCreateProgramWithSource failed");
    return nullptr;
  }
  if (cl->buildProgram(program, 1, &device, "", nullptr, nullptr) != kClSuccess) {
    if (message) *message = "OpenCL build failed: " + buildLog(*cl, program, device);
    cl->releaseProgram(program);
    return nullptr;
  }
  return program;
}

OpenCLProgram* buildOpenCLProgram(cl_context context, cl_device_id device, std::string* message) {
  const OpenCLApi* cl = loadOpenCL();
  if (!cl) {
    say(message, "OpenCL not found");
    return nullptr;
  }
  cl_program program = compileOpenCLSource(context, device, openclKernelText(), openclKernelTextSize(), message);
  if (!program) return nullptr;
  std::unique_ptr<OpenCLProgram> made(new OpenCLProgram());
  made->context = context;
  made->device = device;
  made->program = program;
  for (int k = 0; k < FM_KERNEL_COUNT; ++k) {
    cl_int error = kClSuccess;
    made->kernels[k] = cl->createKernel(program, kernelName(k), &error);
    if (!made->kernels[k] || error != kClSuccess) {
      say(message, std::string("clCreateKernel failed: ") + kernelName(k));
      destroyOpenCLProgram(made.release());
      return nullptr;
    }
  }
  return made.release();
}

void destroyOpenCLProgram(OpenCLProgram* program) {
  if (!program) return;
  if (const OpenCLApi* cl = openCL()) {
    for (cl_kernel kernel : program->kernels)
      if (kernel) cl->releaseKernel(kernel);
    if (program->program) cl->releaseProgram(program->program);
  }
  delete program;
}

}  // namespace fm
