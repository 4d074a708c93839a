// The process-wide GPU failure state: repeated GPU failures switch the GPU path off for a while,
// so a device that keeps failing does not make every frame pay for a failed attempt first.
#pragma once

namespace fm {

// Seconds of a monotonic clock. One replaceable function, so that the switch-off can be tested
// without waiting for it.
using MonotonicClock = double (*)();
double monotonicSeconds();
// Null restores the system's clock.
void setMonotonicClock(MonotonicClock clock);

// True once the GPU-off time has passed (always, until a switch-off).
bool gpuOffElapsed();

// A GPU render succeeded: the failures so far were not repeated ones.
void noteGpuSuccess();

// A GPU render failed and is rendered on the CPU instead: logs it, and the second failure in a
// row switches the GPU off for 60 seconds. message may be null.
void noteGpuFailure(const char* message);

}  // namespace fm
