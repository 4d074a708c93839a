// A test build of the module also exports this, so that tests can move the module's monotonic
// clock instead of waiting for a GPU switch-off to end.
#include "plugin/GpuFailures.h"

extern "C" __attribute__((visibility("default"))) void fmSetTestClock(double (*clock)()) {
  fm::setMonotonicClock(clock);
}
