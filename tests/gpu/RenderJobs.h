// Whole renders of every blur kind over a small moving-square sequence, on the CPU backend or on
// a GPU backend with the frames uploaded there: what the CUDA suites compare, over the stand-in
// driver and over a real one.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "engine/RenderSettings.h"
#include "gpu/GpuBackendBase.h"
#include "tests/support/TestImage.h"

namespace fmtest {

struct RenderJob {
  const char* name;
  RenderSettings s;
  float tolerance;  // against the CPU on a real device, whose PTX fuses and approximates
};

// Every kind, tracked motion blur and motion vectors included, and the reduced-resolution and
// blur-map paths.
std::vector<RenderJob> everyKind();

HostImage renderOnCpu(const RenderJob& job);

// The frames uploaded to `be`, the job rendered there and read back; everything the render
// allocated is freed and the backend flushed, failing the running test otherwise.
HostImage renderOnGpu(fm::GpuBackendBase& be, const RenderJob& job);

// The jobs split over two threads rendering at once, each on a backend that `make` creates on
// that thread, must give `alone` (the same jobs rendered one after the other).
void expectSameOnTwoThreads(const std::vector<RenderJob>& jobs, const std::vector<HostImage>& alone,
                            const std::function<std::unique_ptr<fm::GpuBackendBase>(int thread)>& make);

}  // namespace fmtest
