#include "cli/Interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "cli/OutputFiles.h"

namespace fm::cli {
namespace {

std::atomic<int> caught{0};
std::mutex actionMutex;
std::function<void()> action;

sigset_t watchedSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

void watch() {
  const sigset_t set = watchedSignals();
  while (true) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    std::lock_guard<std::mutex> lock(actionMutex);
    // With nothing to stop gracefully, or at the second interrupt, the process ends here.
    if (caught.exchange(signal) != 0 || !action) {
      TempFiles::all().removeAll();
      _exit(128 + signal);
    }
    action();
  }
}

}  // namespace

void watchInterrupts() {
  const sigset_t set = watchedSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread(watch).detach();
}

bool interrupted() { return caught.load() != 0; }

void onInterrupt(std::function<void()> a) {
  std::lock_guard<std::mutex> lock(actionMutex);
  action = std::move(a);
}

int interruptStatus() { return 128 + caught.load(); }

}  // namespace fm::cli
