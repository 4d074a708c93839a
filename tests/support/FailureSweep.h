// A call run on counting CPU backends: once cleanly, then with each of its allocations and each
// of its launches failed in turn, then stopped by the host at its first, a middle and its last
// chunk. `run(backend, message)` makes the call and releases its output; `judge(step, ok,
// message, backend)` checks each outcome. Nothing may stay allocated after any of them.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "engine/ThreadParallel.h"
#include "tests/support/TestBackends.h"

namespace fmtest {

struct FailedStep {
  enum Kind { kAllocation, kLaunch, kAbort } kind;
  int n;  // which allocation or launch failed, or the poll that stopped the call
  std::string text() const {
    return (kind == kAllocation ? "allocation " : kind == kLaunch ? "launch " : "stopped at poll ") +
           std::to_string(n);
  }
};

template <class Run, class Judge>
void sweepFailures(Run&& run, Judge&& judge) {
  fm::ThreadParallel par(2);
  std::string message;
  std::atomic<int> polls{0};
  CountingBackend clean(&par, &countPolls, &polls);
  if (!run(clean, message)) return;
  auto check = [&](const FailedStep& step, CountingBackend& be) {
    message.clear();
    const bool ok = run(be, message);
    judge(step, ok, message, be);
    EXPECT_EQ(be.liveImages, 0) << step.text();
    EXPECT_EQ(be.liveTables, 0) << step.text();
  };
  for (FailedStep::Kind kind : {FailedStep::kAllocation, FailedStep::kLaunch}) {
    const int steps = kind == FailedStep::kLaunch ? clean.launchCalls : clean.allocCalls;
    for (int n = 1; n <= steps; ++n) {
      CountingBackend be(&par);
      (kind == FailedStep::kLaunch ? be.failLaunch : be.failAlloc) = n;
      check(FailedStep{kind, n}, be);
    }
  }
  for (int stopAt : {1, polls.load() / 2 + 1, polls.load()}) {
    StopAt stop{stopAt};
    CountingBackend be(&par, &stopWhenDue, &stop);
    check(FailedStep{FailedStep::kAbort, stopAt}, be);
  }
}

}  // namespace fmtest
