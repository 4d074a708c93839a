#include "engine/cpu/CpuChunking.h"

#include <algorithm>
#include <cstdint>

namespace fm {
namespace {

constexpr int kConvColumnRows = 32;
// Each row of a lens gather's tile reads again all but one of the prefix rows the row above it
// read: a chunk of a few dozen rows finds them in the cache, within a budget of work that still
// lets an abort through soon.
constexpr int kLensGatherRows = 32;
constexpr double kLensGatherBudget = 67108864.0;

int ceilDiv(int a, int b) { return a > 0 ? int((int64_t(a) + b - 1) / b) : 0; }

// Rows per chunk: a quarter of a thread's share, capped by the work budget, at least one.
ChunkPlan rowsPlan(int rows, int maxRows, int T) {
  ChunkPlan c;
  c.specialised = true;
  c.total = rows;
  c.perChunk = std::max(1, std::min(std::max(rows / (4 * T), 1), maxRows));
  c.chunks = ceilDiv(rows, c.perChunk);
  return c;
}

int budgetRows(double budget, double perRow) {
  return int(std::max(budget / std::max(perRow, 1.0), 1.0));
}

}  // namespace

bool wantsSpecialRunner(int kernel, const FMParams& p, bool dstAndSrcA, bool tableData) {
  switch (kernel) {
    case FM_K_BOX_ROWS:
    case FM_K_BOX_COLS:
      return dstAndSrcA;
    case FM_K_GROUP:
      return dstAndSrcA && p.mode == FM_GROUP_TRANSLATE;
    case FM_K_LENS_GATHER:
      return dstAndSrcA && tableData && p.mode == 0;
    default:
      return false;
  }
}

ChunkPlan planCpuChunks(int kernel, const FMParams& p, bool specialised, int gridW, int gridH,
                        double cost, int threads) {
  const int T = threads < 2 ? 1 : threads;
  if (specialised) {
    const int R = std::min(std::min(p.dH, p.y1), gridH);
    switch (kernel) {
      case FM_K_BOX_ROWS:
        return rowsPlan(R, budgetRows(65536.0, double(p.dW)), T);
      case FM_K_BOX_COLS: {
        ChunkPlan c;
        c.specialised = true;
        c.total = std::min(p.dW, gridW);
        // Lower bound wins when the bounds cross.
        c.perChunk = std::max(std::min(c.total / (4 * T), 256), 8);
        c.chunks = ceilDiv(c.total, c.perChunk);
        return c;
      }
      case FM_K_GROUP:
        return rowsPlan(R, budgetRows(262144.0, double(p.dW) * std::max(p.count, 1) * 4.0), T);
      case FM_K_LENS_GATHER:
        return rowsPlan(R, std::min(kLensGatherRows, budgetRows(kLensGatherBudget, double(p.dW) * p.count * 4.0)), T);
      default:
        break;
    }
  }
  ChunkPlan c;
  c.total = gridH;
  const double c1 = cost >= 1.0 ? cost : 1.0;  // also turns a NaN hint into 1
  const double maxRowsD = std::max(std::min(65536.0 / (double(gridW) * c1), double(gridH)), 1.0);
  // A column convolution loads each source row once for all the output rows of a chunk that
  // read it, and a rotation or scaling reads the source lines of one row's samples again for the
  // next row's, so both take more rows at a time than their budget alone would give.
  const bool transform = kernel == FM_K_GROUP && (p.mode == FM_GROUP_ROTATE || p.mode == FM_GROUP_SCALE);
  const int maxRows = kernel == FM_K_CONV_COLS ? std::max(int(maxRowsD), kConvColumnRows)
                      : transform          ? std::max(int(maxRowsD), kTransformRows)
                                           : int(maxRowsD);
  c.perChunk = std::max(1, std::min(std::max(gridH / (4 * T), 1), maxRows));
  c.chunks = ceilDiv(gridH, c.perChunk);
  return c;
}

}  // namespace fm
