#include "tests/support/KernelRun.h"

#include <gtest/gtest.h>

#include <memory>

#include "engine/cpu/CpuBackend.h"
#include "engine/cpu/CpuKernelTable.h"
#include "engine/ThreadParallel.h"
#include "tests/support/OpenCLTarget.h"

namespace fmtest {

FMParams blockFor(const HostImage* dst, const HostImage* srcA, const HostImage* srcB) {
  fm::Buffer d, a, b;
  if (dst) d = dst->buffer();
  if (srcA) a = srcA->buffer();
  if (srcB) b = srcB->buffer();
  FMParams p;
  fm::makeParams(p, dst ? &d : nullptr, srcA ? &a : nullptr, srcB ? &b : nullptr);
  return p;
}

bool runOnCpu(const KernelCall& call, int threads) {
  fm::ThreadParallel par(threads);
  fm::CpuBackend be(&par, nullptr, nullptr);
  fm::Buffer d, a, b;
  if (call.dst) d = call.dst->buffer();
  if (call.srcA) a = call.srcA->buffer();
  if (call.srcB) b = call.srcB->buffer();
  fm::Table t;
  if (call.table && !be.uploadTable(t, call.table->data(), call.table->size())) return false;
  FMParams p = call.params;
  const bool ok = be.launch(call.kernel, call.dst ? &d : nullptr, call.srcA ? &a : nullptr,
                            call.srcB ? &b : nullptr, call.table ? &t : nullptr, &p, call.gridW,
                            call.gridH, call.cost);
  be.freeTable(t);
  return ok;
}

bool runItemsOnCpu(const KernelCall& call) {
  fm::BandRunner band = fm::cpuItemRunner(call.kernel);
  if (!band || !call.dst) return false;
  FMParams p = call.params;
  p.y0 = 0;
  band(call.gridW, 0, call.gridH, call.dst->data(), call.srcA ? call.srcA->data() : nullptr,
       call.srcB ? call.srcB->data() : nullptr, call.table ? call.table->data() : nullptr, p);
  return true;
}

namespace {

// On fm::OpenCLBackend with the images' memory as it stands on the host, so that the call's
// block, pitches included, means the same on both targets.
bool runOnOpencl(const KernelCall& call, std::string& error) {
  std::unique_ptr<OpenCLTarget> cl = OpenCLTarget::create(&error);
  if (!cl) return false;
  fm::Buffer d, a, b;
  fm::Table t;
  bool ok = cl->uploadAsIs(d, *call.dst) && (!call.srcA || cl->uploadAsIs(a, *call.srcA)) &&
            (!call.srcB || cl->uploadAsIs(b, *call.srcB)) &&
            (!call.table || cl->backend.uploadTable(t, call.table->data(), call.table->size()));
  FMParams p = call.params;
  p.y0 = 0;
  ok = ok && cl->backend.launch(call.kernel, &d, call.srcA ? &a : nullptr, call.srcB ? &b : nullptr,
                                call.table ? &t : nullptr, &p, call.gridW, call.gridH, call.cost);
  ok = ok && cl->readAsIs(d, *call.dst);
  if (!ok) error = "launch failed: " + cl->error();
  for (fm::Buffer* buf : {&d, &a, &b}) cl->backend.freeImage(*buf);
  cl->backend.freeTable(t);
  if (cl->liveAfterFlush() != 0) {
    error = "device memory left allocated";
    return false;
  }
  return ok;
}

}  // namespace

std::string compareTargets(const KernelCall& call, float tol, float rel) {
  if (!OpenCLDevice::get()) {
    reportNoOpenCL(OpenCLDevice::why());
    return "";
  }
  HostImage start = *call.dst;
  KernelCall c = call;
  HostImage cpuOut = start;
  c.dst = &cpuOut;
  if (!runOnCpu(c)) return "CPU launch failed";
  HostImage clOut = start;
  c.dst = &clOut;
  std::string err;
  if (!runOnOpencl(c, err)) return "OpenCL " + err;
  const std::string diff = firstDifference(cpuOut, clOut, tol, rel);
  return diff.empty() ? "" : "CPU and OpenCL differ at " + diff;
}

}  // namespace fmtest
