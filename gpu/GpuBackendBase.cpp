#include "gpu/GpuBackendBase.h"

#include <algorithm>
#include <cstdint>

namespace fm {

GpuBackendBase::GpuBackendBase(GpuAllocator* allocator) : allocator(allocator) {}

GpuBackendBase::~GpuBackendBase() { releasePending(); }

void GpuBackendBase::releasePending() {
  for (void* handle : pendingReleases) allocator->release(handle);
  pendingReleases.clear();
}

bool GpuBackendBase::allocImage(Buffer& buf, int width, int height) {
  if (width < 1 || height < 1) return false;
  const uint64_t pitch = (uint64_t(width) + kRowGranularity - 1) & ~uint64_t(kRowGranularity - 1);
  // Tested row by row: pitch x height x 16 itself can pass 2^64 for absurd sizes.
  const uint64_t rowBytes = pitch * 16;
  if (rowBytes > kMaxImageBytes || uint64_t(height) > kMaxImageBytes / rowBytes) return false;
  const size_t bytes = size_t(rowBytes * uint64_t(height));
  void* handle = nullptr;
  bool ok = allocator->allocate(bytes, &handle) && handle;
  if (!ok && !pendingReleases.empty()) {
    // Memory freed earlier in this render may still be in use by queued work: wait, return it,
    // and try once more.
    const bool finished = finish();
    releasePending();
    if (finished) {
      handle = nullptr;
      ok = allocator->allocate(bytes, &handle) && handle;
    } else {
      failed = true;
    }
  }
  if (!ok) {
    lastError = "device memory";
    return false;
  }
  buf.data = handle;
  buf.width = width;
  buf.height = height;
  buf.pitch = int32_t(pitch);
  buf.owned = true;
  return true;
}

void GpuBackendBase::freeImage(Buffer& buf) {
  if (buf.data && buf.owned) pendingReleases.push_back(buf.data);
  buf = Buffer();
}

bool GpuBackendBase::uploadTable(Table& tab, const float* values, size_t count) {
  if (count > 0 && !values) return false;
  void* handle = nullptr;
  // Four floats at least, so that an empty table still has memory to bind.
  const size_t floats = std::max<size_t>(count, 4);
  if (floats > SIZE_MAX / sizeof(float) || !allocator->allocate(floats * sizeof(float), &handle) || !handle) {
    lastError = "device memory (table)";
    return false;
  }
  if (count > 0 && !writeMemory(handle, values, count * sizeof(float))) {
    // No queued work has seen this handle: it can go back at once.
    allocator->release(handle);
    return false;
  }
  tab.data = handle;
  tab.count = count;
  return true;
}

void GpuBackendBase::freeTable(Table& tab) {
  if (tab.data) pendingReleases.push_back(tab.data);
  tab = Table();
}

bool GpuBackendBase::launch(int kernel, Buffer* dst, const Buffer* srcA, const Buffer* srcB, const Table* tab,
                            FMParams* p, int gridW, int gridH, double cost) {
  if (failed) return false;
  if (gridW < 1 || gridH < 1) return true;
  if (kernel < 0 || kernel >= FM_KERNEL_COUNT || !p) return false;
  // Written so that a NaN cost or budget still gives one row per band.
  double rows = bandBudget / (double(gridW) * (cost > 1.0 ? cost : 1.0));
  if (!(rows >= 1.0)) rows = 1.0;
  const int perBand = std::max(1, std::min(rows < double(gridH) ? int(rows) : gridH, maxBandRows(gridW)));
  for (int done = 0; done < gridH;) {
    const int k = std::min(perBand, gridH - done);
    FMParams band = *p;
    const int64_t first = int64_t(p->y0) + done;
    band.y0 = int32_t(std::min<int64_t>(first, INT32_MAX));
    band.y1 = int32_t(std::min<int64_t>(first + k, p->y1));
    if (!enqueueKernel(kernel, dst, srcA, srcB, tab, &band, gridW, k)) {
      failed = true;
      return false;
    }
    done += k;
  }
  return true;
}

bool GpuBackendBase::flush() {
  const bool finished = finish();
  releasePending();
  if (!finished) failed = true;
  return finished;
}

}  // namespace fm
