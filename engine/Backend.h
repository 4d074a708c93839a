// The abstract compute backend and the value types that cross it. Planning code issues
// every pixel operation through this interface; the CPU and GPU backends implement it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/Rect.h"
#include "kernels/FMKernelTypes.h"

namespace fm {

// An engine image: float RGBA, premultiplied, pitch in pixels. A plain value, zeroed on release.
struct Buffer {
  void* data = nullptr;  // host address (CPU) or device handle (GPU)
  int32_t width = 0;
  int32_t height = 0;
  int32_t pitch = 0;
  bool owned = false;  // false: wraps memory someone else releases
};

// A float table handle.
struct Table {
  void* data = nullptr;
  uint64_t count = 0;
};

// An engine image with its place in layer coordinates; pixel (0, 0) of the buffer lies at
// the rectangle's top-left corner.
struct PlacedImage {
  const Buffer* buffer = nullptr;
  Rect rect;
};

inline bool isPresent(const PlacedImage& im) { return im.buffer != nullptr && !isEmpty(im.rect); }

// One launch of a chain (Backend::launchChain).
struct ChainLink {
  int kernel = 0;
  Buffer* dst = nullptr;
  const Buffer* src = nullptr;
  FMParams params;
  int gridW = 0;
  int gridH = 0;
  double cost = 0;
  const Buffer* srcB = nullptr;
  const Table* tab = nullptr;
};

class Backend {
 public:
  virtual ~Backend() = default;
  virtual bool allocImage(Buffer& buf, int width, int height) = 0;
  virtual void freeImage(Buffer& buf) = 0;
  virtual bool uploadTable(Table& tab, const float* values, size_t count) = 0;
  virtual void freeTable(Table& tab) = 0;
  virtual bool launch(int kernel, Buffer* dst, const Buffer* srcA, const Buffer* srcB,
                      const Table* tab, FMParams* p, int gridW, int gridH, double cost) = 0;
  virtual bool isGpu() const = 0;
  virtual bool download(const Buffer& buf, void* host) = 0;
  virtual bool wasAborted() const = 0;
  // Launches the links in order, each reading the image the one before it wrote (`src` of
  // link j + 1 is `dst` of link j). Only the last link's destination is sure to be written: a
  // backend may pass the others' results through scratch of its own. The default launches
  // the links one by one; false as soon as one fails or the render is aborted.
  virtual bool launchChain(ChainLink* links, int count);
};

// Parallel-for: fn(ctx, i) exactly once for every i in [0, count), any order, any thread.
class Parallel {
 public:
  virtual ~Parallel() = default;
  virtual int threadCount() = 0;
  virtual bool run(int count, void* ctx, void (*fn)(void* ctx, int index)) = 0;
};

// Device-memory allocator of the GPU backends.
class GpuAllocator {
 public:
  virtual ~GpuAllocator() = default;
  virtual bool allocate(size_t bytes, void** handle) = 0;
  virtual void release(void* handle) = 0;
};

// Zeroes the block, copies the size triples of the present images, g0 = 1, y1 = dst height.
void makeParams(FMParams& p, const Buffer* dst, const Buffer* srcA, const Buffer* srcB);

// An offset or range handed to a kernel, cut to +-2^30: images are at most 2^30 pixels, so a
// cut value addresses the same (absent) pixels, and the kernels' index sums stay in range.
inline int32_t paramOffset(int64_t v) {
  constexpr int64_t kLimit = int64_t(1) << 30;
  return int32_t(v < -kLimit ? -kLimit : v > kLimit ? kLimit : v);
}

// Launches over the whole destination with source A only, no table, cost 4.
bool launchFull(Backend& be, int kernel, Buffer& dst, const Buffer* srcA, FMParams& p);

// Kernel names by identifier; null for an identifier outside 0..33.
const char* kernelName(int kernel);

}  // namespace fm
