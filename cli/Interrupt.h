// Ctrl-C and termination requests. The signals are taken by a thread of their own, so that what
// an interrupt sets off (aborting renders through the host's abort callback) runs as ordinary
// code. Without such an action, and at a second interrupt, the temporary files are removed and
// the process ends at once.
#pragma once

#include <functional>

namespace fm::cli {

// Blocks SIGINT, SIGTERM and SIGHUP in this thread and every thread started after it, and
// starts the thread that waits for them. Call first thing in main.
void watchInterrupts();

// Whether an interrupt came.
bool interrupted();

// What to do when one comes (replacing the last); cleared with an empty function.
void onInterrupt(std::function<void()> action);

// The exit status after an interrupt: 128 + the signal's number.
int interruptStatus();

}  // namespace fm::cli
