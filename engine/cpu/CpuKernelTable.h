// The CPU backend's per-identifier runners, at each instruction-set level.
#pragma once

#include "engine/cpu/CpuIsa.h"
#include "kernels/FMKernelTypes.h"

namespace fm {

// Runs a kernel for every gx in [0, gridW) and gy in [first, end), rows outer.
using BandRunner = void (*)(int gridW, int first, int end, void* dst, const void* srcA,
                            const void* srcB, const void* tab, const FMParams& p);

// What a specialised runner gets: the launch as the backend received it.
struct CpuLaunch {
  int gridW = 0;
  int gridH = 0;
  void* dst = nullptr;
  const void* srcA = nullptr;
  const void* srcB = nullptr;
  const void* tab = nullptr;
  const FMParams* p = nullptr;
};

// Processes rows (or, for column passes, columns) [first, end) of a launch at once,
// producing exactly what the kernel's own work items produce.
using SpecialRunner = void (*)(const CpuLaunch& launch, int first, int end);

// One launch of a chain that a runner fuses (CpuBackend::launchChain).
struct CpuChainLink {
  int kernel = 0;
  int gridW = 0;
  int gridH = 0;
  FMParams p;
};

// Launches along one axis run as one: every link's launch in order, the first reading `src`,
// the last writing `dst`, and each between them reading what the one before it wrote, which
// the runner keeps in scratch of its own.
struct CpuChain {
  const CpuChainLink* links = nullptr;
  int count = 0;
  const void* src = nullptr;
  void* dst = nullptr;
  // Tiles of a direct pair (cpuConvPairRunner): columns and rows each, laid over the part of
  // the column pass's result the chain writes, which starts at (areaX, areaY).
  int tileW = 0;
  int tileH = 0;
  int areaX = 0;
  int areaY = 0;
  int areaW = 0;
  int areaH = 0;
  // A chain of Jacobi steps (cpuRefineChainRunner): the image and table every step reads
  // besides the step before it, the rows of a band, and room for each band's held rows.
  const void* srcB = nullptr;
  const void* tab = nullptr;
  int bandRows = 0;
  void* held = nullptr;
};
constexpr int kCpuChainMaxLinks = 16;

// A chain of `count` Jacobi steps over `height` rows, run in bands: the bands around a band
// [first, end) read the chain's source up to `count` rows into it, so where the result goes
// over the source those rows of the result are held back until every band is done. The slot
// of row y among the band's 2 x count held rows, or -1 where it is written at once.
inline int refineHeldSlot(int first, int end, int height, int count, int y) {
  if (first > 0 && y < first + count) return y - first;
  if (end < height && y >= end - count) return count + y - (end - count);
  return -1;
}

// Runs rows (a chain of box row passes, the first link possibly a copy) or strips of columns
// (a chain of box column passes, the last link possibly a copy of their result) [first, end)
// of a chain; false when out of memory.
using ChainRunner = bool (*)(const CpuChain& chain, int first, int end);

// Each lookup gives the code of `isa`, or of the baseline where this processor cannot run it.

// The fastest band runner of a kernel; null for an identifier outside 0..33.
BandRunner cpuBandRunner(int kernel, CpuIsa isa = cpuIsa());

// The plain item-by-item runner of a kernel (rows outer, columns inner), whatever faster band
// runner the table holds; the reference that the faster runners must match exactly.
BandRunner cpuItemRunner(int kernel, CpuIsa isa = cpuIsa());

// The whole-row/strip runner of kernels 4, 5, 8 and 10; null where there is none.
SpecialRunner cpuSpecialRunner(int kernel, CpuIsa isa = cpuIsa());

// The chain runner for rows or for columns.
ChainRunner cpuChainRunner(bool columns, CpuIsa isa = cpuIsa());

// The runner of a chain of Jacobi steps (fm_flow_refine), each reading the one before it, its
// range counting rows in bands of the chain's bandRows: writes the last step's rows into the
// chain's destination, its held rows into the band's part of `held` (2 x count + 1 rows at the
// destination's pitch, from the second).
ChainRunner cpuRefineChainRunner(CpuIsa isa = cpuIsa());

// The runner of a direct rows pass and the column pass that reads it, optionally led by a plain
// copy into the rows pass's source and followed by a plain copy of the result into the chain's
// destination; its range counts tiles of the chain's tileW x tileH.
ChainRunner cpuConvPairRunner(CpuIsa isa = cpuIsa());

}  // namespace fm
