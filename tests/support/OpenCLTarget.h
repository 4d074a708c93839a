// fm::OpenCLBackend on the test device, for one test or one render thread: device memory from the
// context through a counting allocator, and host images in and out.
#pragma once

#include <memory>
#include <string>

#include "gpu/CLDirectAllocator.h"
#include "gpu/OpenCLBackend.h"
#include "tests/support/CountingGpuAllocator.h"
#include "tests/support/TestImage.h"

namespace fmtest {

class OpenCLTarget {
 public:
  // Null when there is no device or its program did not build; `why` says which. `queue` (the
  // device's own queue when null) is not owned.
  static std::unique_ptr<OpenCLTarget> create(std::string* why, fm::cl_command_queue queue = nullptr);

  // A device image of the host image's size holding its pixels; false leaves `buf` untouched.
  bool upload(fm::Buffer& buf, const HostImage& image);
  // The device image's pixels, in a host image of its width and height.
  bool read(const fm::Buffer& buf, HostImage& image);

  // The host image's memory as it stands, pitch included, in a device image at least as large:
  // kernels given the host image's block read and write it there as they would on the host.
  bool uploadAsIs(fm::Buffer& buf, const HostImage& image);
  bool readAsIs(const fm::Buffer& buf, HostImage& image);

  // Flushes the backend and counts the handles the allocator has not had back, failing the
  // running test if any came back twice or unasked.
  int liveAfterFlush();
  const std::string& error() const { return backend.lastError; }

  // Destroyed backend first: it finishes its queue before any memory goes back.
  fm::CLDirectAllocator direct;
  CountingGpuAllocator allocator{direct};
  fm::OpenCLBackend backend;

 private:
  OpenCLTarget(fm::OpenCLProgram* program, fm::cl_context context, fm::cl_command_queue queue);
  bool write(fm::Buffer& buf, const HostImage& image, bool asIs);
  bool fetch(const fm::Buffer& buf, HostImage& image, bool asIs);
};

}  // namespace fmtest
