// What the OpenCL and CUDA backends share: images and tables in device memory from a
// GpuAllocator, releases held back until the device has finished the queued work, launches split
// into bands of bounded work, a latched device failure and a message saying what failed. The
// framework itself is reached only through the five device operations a backend implements.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/Backend.h"

namespace fm {

class GpuBackendBase : public Backend {
 public:
  // `allocator` is not owned and must outlive the backend.
  explicit GpuBackendBase(GpuAllocator* allocator);
  // Returns whatever is still pending; a derived destructor has finished the queue before.
  ~GpuBackendBase() override;
  GpuBackendBase(const GpuBackendBase&) = delete;
  GpuBackendBase& operator=(const GpuBackendBase&) = delete;

  bool allocImage(Buffer& buf, int width, int height) override;
  void freeImage(Buffer& buf) override;
  bool uploadTable(Table& tab, const float* values, size_t count) override;
  void freeTable(Table& tab) override;
  bool launch(int kernel, Buffer* dst, const Buffer* srcA, const Buffer* srcB, const Table* tab, FMParams* p,
              int gridW, int gridH, double cost) override;
  bool isGpu() const override { return true; }
  bool download(const Buffer& buf, void* host) override { return readImage(buf, host); }
  bool wasAborted() const override { return false; }

  // Wait for all queued work, then copy the whole image (height x pitch x 16 bytes) out or in.
  virtual bool readImage(const Buffer& buf, void* host) = 0;
  virtual bool writeImage(const Buffer& buf, const void* host) = 0;
  // What they copy: the whole image, pitch included.
  static size_t imageBytes(const Buffer& buf) { return size_t(buf.height) * size_t(buf.pitch) * 16; }

  // Waits for the queue and hands every pending release back; a failed wait latches the failure.
  bool flush();

  static constexpr int kRowGranularity = 32;
  static constexpr unsigned long long kMaxImageBytes = 1ULL << 34;

  // Work allowed in one enqueued band, in cost units (grid columns x rows x cost).
  double bandBudget = 6e7;
  // What failed last: "device memory", "device memory (table)" or the framework call of a launch.
  std::string lastError;

 protected:
  // One kernel over gridW x rows items, queued in order behind earlier work.
  virtual bool enqueueKernel(int kernel, Buffer* dst, const Buffer* srcA, const Buffer* srcB, const Table* tab,
                             const FMParams* p, int gridW, int rows) = 0;
  virtual bool writeMemory(void* device, const void* host, size_t bytes) = 0;
  virtual bool finish() = 0;
  // The most rows one enqueueKernel of gridW columns may take, where the framework limits the
  // grid; launches are then cut into more bands, each with its own first row.
  virtual int maxBandRows(int /*gridW*/) const { return INT32_MAX; }

  // Hands every pending handle to the allocator; only after the queue has finished.
  void releasePending();

  // Whether there is an image, and a host side to copy it to or from.
  static bool canCopyWhole(const Buffer& buf, const void* host) {
    return buf.data && host && buf.height > 0 && buf.pitch > 0;
  }

  GpuAllocator* allocator;
  std::vector<void*> pendingReleases;
  bool failed = false;
};

}  // namespace fm
