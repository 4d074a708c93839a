#include "tests/support/KernelRun.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "engine/cpu/CpuBackend.h"
#include "engine/cpu/CpuKernelTable.h"
#include "engine/ThreadParallel.h"

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

void reportNoOpenCL(const std::string& why) {
  const char* ci = std::getenv("CI");
  if (ci && *ci && std::strcmp(ci, "false") != 0 && std::strcmp(ci, "0") != 0) {
    ADD_FAILURE() << "no OpenCL platform in CI (scripts/bootstrap installs PoCL): " << why;
    return;
  }
  GTEST_SKIP() << "no OpenCL platform: " << why;
}

std::string compareTargets(const KernelCall& call, float tol, float rel) {
  OpenCLHarness* cl = OpenCLHarness::get();
  if (!cl) {
    reportNoOpenCL(OpenCLHarness::why());
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
  if (!cl->run(c, &err)) return "OpenCL launch failed: " + err;
  const std::string diff = firstDifference(cpuOut, clOut, tol, rel);
  return diff.empty() ? "" : "CPU and OpenCL differ at " + diff;
}

}  // namespace fmtest
