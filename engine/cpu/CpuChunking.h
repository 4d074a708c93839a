// How a CPU launch is cut into chunks for the parallel-for.
#pragma once

#include "kernels/FMKernelTypes.h"

namespace fm {

struct ChunkPlan {
  bool specialised = false;  // whole rows/strips through the kernel's specialised runner
  int perChunk = 1;          // rows (or columns for kernel 5) per chunk
  int total = 0;             // rows (or columns) the chunks cover
  int chunks = 0;
};

// Rows a rotation or scaling takes through each of its taps together (the group band runner):
// the source lines one row's samples read are read again by the next row's. Chunks of such
// launches hold at least this many rows.
constexpr int kTransformRows = 16;

// Whether a specialised runner applies to this launch (before asking if one is built).
bool wantsSpecialRunner(int kernel, const FMParams& p, bool dstAndSrcA, bool tableData);

// Chunk figures for a launch; `threads` is the parallel-for's thread count. Pass
// `specialised` when the kernel's specialised runner takes the launch.
ChunkPlan planCpuChunks(int kernel, const FMParams& p, bool specialised, int gridW, int gridH,
                        double cost, int threads);

}  // namespace fm
