#include "plugin/AeParallel.h"

#include <algorithm>

#include "engine/Platform.h"

namespace fm {
namespace {

struct IterateRun {
  AeParallel* parallel;
  void* ctx;
  void (*fn)(void*, int);
};

int jobCount() {
  const int processors = activeProcessorCount();
  return processors > 0 ? std::min(processors, 64) : 4;
}

}  // namespace

AeParallel::AeParallel(const PF_InData* in) : in_(in), jobs_(jobCount()) {
  if (!in || !in->suites.acquireSuite) return;
  const void* suite = nullptr;
  suiteHeld_ = in->suites.acquireSuite(in->host, PF_Iterate8Suite, PF_Iterate8SuiteVersion,
                                       &suite) == PF_Err_None;
  if (suiteHeld_) iterate_ = static_cast<const PF_Iterate8Suite1*>(suite);
}

AeParallel::~AeParallel() {
  if (suiteHeld_ && in_->suites.releaseSuite) {
    in_->suites.releaseSuite(in_->host, PF_Iterate8Suite, PF_Iterate8SuiteVersion);
  }
}

bool AeParallel::pollAbort() {
  if (aborted()) return true;
  if (in_ && in_->interact.abort && in_->interact.abort(in_->effect) != PF_Err_None) {
    aborted_.store(true, std::memory_order_release);
  }
  return aborted();
}

PF_Err AeParallel::iterateJob(void* context, int32_t threadIndex, int32_t jobIndex, int32_t) {
  const IterateRun& run = *static_cast<const IterateRun*>(context);
  AeParallel& self = *run.parallel;
  // Only the first thread asks the host, as often as it takes a job.
  if (threadIndex == 0 && self.pollAbort()) return PF_Interrupt_Cancel;
  if (self.aborted()) return PF_Err_None;
  run.fn(run.ctx, jobIndex);
  return PF_Err_None;
}

bool AeParallel::run(int count, void* ctx, void (*fn)(void* ctx, int index)) {
  if (count < 1) return true;
  if (pollAbort()) return false;
  if (count > 1 && iterate_ && iterate_->iterateGeneric) {
    IterateRun run{this, ctx, fn};
    const PF_Err err = iterate_->iterateGeneric(count, &run, &AeParallel::iterateJob);
    if (err == PF_Interrupt_Cancel) aborted_.store(true, std::memory_order_release);
    if (err != PF_Err_None && err != PF_Interrupt_Cancel) return false;
    return !aborted();
  }
  for (int i = 0; i < count && !aborted(); ++i) fn(ctx, i);
  return !aborted();
}

}  // namespace fm
