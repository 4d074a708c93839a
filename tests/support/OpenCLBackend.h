// A backend for tests that keeps images and tables in OpenCL device memory and runs every launch
// with the harness's program, so whole renders can be compared with the CPU backend's.
#pragma once

#include <CL/cl.h>

#include <memory>
#include <string>

#include "engine/Backend.h"
#include "tests/support/TestImage.h"

namespace fmtest {

class OpenCLBackend final : public fm::Backend {
 public:
  // Null when OpenCL or the kernel program is unavailable; `why` then says so.
  static std::unique_ptr<OpenCLBackend> create(std::string* why);
  ~OpenCLBackend() override;
  OpenCLBackend(const OpenCLBackend&) = delete;
  OpenCLBackend& operator=(const OpenCLBackend&) = delete;

  bool allocImage(fm::Buffer& buf, int width, int height) override;
  void freeImage(fm::Buffer& buf) override;
  bool uploadTable(fm::Table& tab, const float* values, size_t count) override;
  void freeTable(fm::Table& tab) override;
  bool launch(int kernel, fm::Buffer* dst, const fm::Buffer* srcA, const fm::Buffer* srcB, const fm::Table* tab,
              FMParams* p, int gridW, int gridH, double cost) override;
  bool isGpu() const override { return true; }
  bool download(const fm::Buffer& buf, void* host) override;
  bool wasAborted() const override { return false; }

  // A device image holding `image`'s pixels; false leaves `buf` untouched.
  bool upload(fm::Buffer& buf, const HostImage& image);
  // The device image's pixels (its width and height; the device pitch is not kept).
  bool read(const fm::Buffer& buf, HostImage& image);

  // What failed last: the OpenCL call and its error code.
  const std::string& error() const { return lastError; }
  int liveImages = 0;
  int liveTables = 0;

  static constexpr int kRowGranularity = 32;

 private:
  OpenCLBackend() = default;
  bool fail(const char* call, cl_int err);

  cl_context context = nullptr;
  cl_command_queue queue = nullptr;
  cl_program program = nullptr;
  cl_kernel kernels[FM_KERNEL_COUNT] = {};
  bool failed = false;  // a device failure latches: later launches fail at once
  std::string lastError;
};

}  // namespace fmtest
