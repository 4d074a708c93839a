// The engine's parallel-for over the host's generic iterator, so that a render's work runs on
// the host's threads and stops when the host asks it to.
#pragma once

#include <atomic>

#include "engine/Backend.h"
#include "host/EffectInterface.h"

namespace fm {

class AeParallel final : public Parallel {
 public:
  // in may be null (or offer no iterator): jobs then run in order on the calling thread.
  explicit AeParallel(const PF_InData* in);
  ~AeParallel() override;
  AeParallel(const AeParallel&) = delete;
  AeParallel& operator=(const AeParallel&) = delete;

  // The job count: the processors, at most 64; 4 when the system cannot say.
  int threadCount() override { return jobs_; }
  bool run(int count, void* ctx, void (*fn)(void* ctx, int index)) override;

  // Asks the host once (unless already stopped); true once the host has asked to stop.
  bool pollAbort();
  bool aborted() const { return aborted_.load(std::memory_order_acquire); }

  // The CPU backend's abort query over an AeParallel.
  static bool abortQuery(void* self) { return static_cast<AeParallel*>(self)->pollAbort(); }

 private:
  static PF_Err iterateJob(void* context, int32_t threadIndex, int32_t jobIndex,
                           int32_t jobCount);

  const PF_InData* in_;
  const PF_Iterate8Suite1* iterate_ = nullptr;
  bool suiteHeld_ = false;
  int jobs_;
  std::atomic<bool> aborted_{false};
};

}  // namespace fm
