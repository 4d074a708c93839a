#include "plugin/WorldTransfer.h"

#include <algorithm>
#include <cstring>

#include "plugin/WorldRows.h"

namespace fm {
namespace {

// A row-by-row job over `rows` rows cut into bands; `row(y)` does one row.
template <class Row>
bool inBands(Parallel& par, int32_t rows, int32_t width, Row&& row) {
  struct Job {
    Row* row;
    int32_t rows, perBand;
  } job{&row, rows, bandRows(rows, width, par.threadCount())};
  const int bands = int((int64_t(rows) + job.perBand - 1) / job.perBand);
  return par.run(bands, &job, [](void* ctx, int band) {
    const Job& j = *static_cast<const Job*>(ctx);
    const int32_t first = band * j.perBand, end = std::min(j.rows, first + j.perBand);
    for (int32_t y = first; y < end; ++y) (*j.row)(y);
  });
}

unsigned char* rowOf(const WorldView& w, int32_t y) {
  return static_cast<unsigned char*>(w.data) + int64_t(y) * w.rowBytes;
}

float* rowOf(const Buffer& b, int32_t y) {
  return static_cast<float*>(b.data) + int64_t(y) * b.pitch * 4;
}

// Destinations beyond this size are written past the caches: reading their lines in before
// overwriting them would only take bandwidth, as nothing fits to be read back from there.
constexpr int64_t kStreamBytes = int64_t(8) << 20;

bool streams(int64_t rows, int64_t rowBytes) { return rows * rowBytes > kStreamBytes; }

}  // namespace

int bandRows(int64_t rows, int64_t width, int jobs) {
  rows = std::max<int64_t>(rows, 1);
  width = std::max<int64_t>(width, 1);
  const int64_t share = rows / (int64_t(std::max(jobs, 1)) * 4);
  return int(std::max<int64_t>(1, std::min(share, 32768 / width)));
}

bool importWorld(Parallel& par, const WorldView& world, const Buffer& image) {
  const size_t padding = size_t(image.pitch - world.width) * 4 * sizeof(float);
  const bool stream = streams(world.height, int64_t(image.pitch) * 4 * sizeof(float));
  return inBands(par, world.height, world.width, [&](int32_t y) {
    float* dst = rowOf(image, y);
    importRow(world.format, rowOf(world, y), dst, world.width, stream);
    std::memset(dst + size_t(world.width) * 4, 0, padding);
  });
}

bool exportWorld(Parallel& par, const Buffer& image, const WorldView& world) {
  const bool stream = streams(world.height, world.rowBytes);
  return inBands(par, world.height, world.width, [&](int32_t y) {
    exportRow(world.format, rowOf(image, y), rowOf(world, y), world.width, stream);
  });
}

bool copyWorld(Parallel& par, const WorldView& from, const WorldView& to) {
  const Rect common = intersection(from.rect, to.rect);
  const bool overlaps = isUsable(from) && !isEmpty(common);
  const int64_t bytes = pixelBytes(to.format), fromBytes = pixelBytes(from.format);
  const int64_t left = overlaps ? common.left - int64_t(to.rect.left) : 0;
  const int64_t span = overlaps ? width(common) : 0;
  return inBands(par, to.height, to.width, [&](int32_t y) {
    unsigned char* dst = rowOf(to, y);
    const int64_t layerY = int64_t(to.rect.top) + y;
    if (!overlaps || layerY < common.top || layerY >= common.bottom) {
      std::memset(dst, 0, size_t(to.width * bytes));
      return;
    }
    const unsigned char* src = rowOf(from, int32_t(layerY - from.rect.top)) +
                               (common.left - int64_t(from.rect.left)) * fromBytes;
    std::memset(dst, 0, size_t(left * bytes));
    if (from.format == to.format) {
      std::memcpy(dst + left * bytes, src, size_t(span * bytes));
    } else {
      convertRow(from.format, to.format, src, dst + left * bytes, int32_t(span));
    }
    std::memset(dst + (left + span) * bytes, 0, size_t((to.width - left - span) * bytes));
  });
}

}  // namespace fm
