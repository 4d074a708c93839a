// One command on its way through the module: the host and effect handles made for it, what it
// has checked out or acquired and not yet given back, and, for the two render commands, the
// frame it belongs to. Several scopes live at once when frames render on several threads.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "host/EffectInterface.h"
#include "host/FrameTypes.h"
#include "host/HostInstance.h"

namespace fm::host {

class FrameState;

class CommandScope {
 public:
  // Opens on the thread that calls the module, and is that thread's current scope until closed.
  CommandScope(HostInstance& instance, FrameState* frame);
  ~CommandScope();
  CommandScope(const CommandScope&) = delete;
  CommandScope& operator=(const CommandScope&) = delete;

  // The scope of the command the calling thread is running; null outside commands.
  static CommandScope* current();

  HostInstance& instance() const { return instance_; }
  FrameState* frame() const { return frame_; }
  PF_HostRef hostRef() const { return reinterpret_cast<PF_HostRef>(host_); }
  PF_EffectRef effectRef() const { return reinterpret_cast<PF_EffectRef>(effect_); }

  template <class Change>
  void count(Change change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change(balance_);
  }
  HostStats balance() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return balance_;
  }
  void noteAcquired(const std::string& name, int32_t version);
  bool noteReleased(const std::string& name, int32_t version);

 private:
  HostInstance& instance_;
  FrameState* frame_;
  Handle* host_;
  Handle* effect_;
  CommandScope* outer_;
  mutable std::mutex mutex_;
  HostStats balance_;
  std::map<std::pair<std::string, int32_t>, int32_t> held_;
};

// Counts a change in the instance's statistics and in the scope of the handle, if any.
template <class Change>
void tally(const Handle* handle, Change change) {
  handle->owner->count(change);
  if (handle->scope) handle->scope->count(change);
}

// The input record of a command at the frame's time, scale and quality, with these handles.
PF_InData inputRecord(const HostInstance& instance, const FrameRequest& frame, PF_HostRef host,
                      PF_EffectRef effect);

// Calls the module with a command in scope, the parameters as copies. What the command left
// acquired or checked out afterwards is a fault of the instance.
PF_Err dispatch(PF_EffectMainFunc entry, CommandScope& scope, PF_InData& in, PF_Cmd command,
                void* extra, PF_OutData* out, PF_World* output);

// The host's codes in words, for messages.
std::string errorText(PF_Err err);

}  // namespace fm::host
