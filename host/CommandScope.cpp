#include "host/CommandScope.h"

#include <cstring>
#include <vector>

#include "host/HostCallbacks.h"

namespace fm::host {
namespace {

thread_local CommandScope* currentScope = nullptr;

}  // namespace

CommandScope::CommandScope(HostInstance& instance, FrameState* frame)
    : instance_(instance), frame_(frame), outer_(currentScope) {
  host_ = instance.makeHandle(HandleKind::Host, -1, this);
  effect_ = instance.makeHandle(HandleKind::Effect, -1, this);
  currentScope = this;
}

CommandScope::~CommandScope() {
  currentScope = outer_;
  instance_.dropHandle(effect_);
  instance_.dropHandle(host_);
  instance_.forgetScope(this);
}

CommandScope* CommandScope::current() { return currentScope; }

void CommandScope::noteAcquired(const std::string& name, int32_t version) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++held_[{name, version}];
}

bool CommandScope::noteReleased(const std::string& name, int32_t version) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = held_.find({name, version});
  if (it == held_.end() || it->second == 0) return false;
  --it->second;
  return true;
}

PF_InData inputRecord(const HostInstance& instance, const FrameRequest& frame, PF_HostRef host,
                      PF_EffectRef effect) {
  PF_InData in;
  std::memset(&in, 0, sizeof(in));
  const LayerInfo layer = instance.effectLayerInfo();
  in.appId = instance.profile().appId;
  in.currentTime = frame.time;
  in.timeStep = frame.timeStep;
  in.localTimeStep = frame.localTimeStep;
  in.timeScale = frame.timeScale;
  in.width = layer.width;
  in.height = layer.height;
  in.downsampleX = frame.downsampleX;
  in.downsampleY = frame.downsampleY;
  in.pixelAspectRatio = layer.pixelAspect;
  in.quality = frame.quality;
  in.paramCount = instance.params().count();
  in.host = host;
  in.effect = effect;
  in.interact = interactCallbacks();
  in.suites = suiteAccess();
  return in;
}

PF_Err dispatch(PF_EffectMainFunc entry, CommandScope& scope, PF_InData& in, PF_Cmd command,
                void* extra, PF_OutData* out, PF_World* output) {
  PF_OutData localOut;
  if (!out) out = &localOut;
  std::memset(out, 0, sizeof(*out));

  // The module gets copies, so nothing it writes into them reaches the stored values.
  const ParamStore& store = scope.instance().params();
  std::vector<PF_ParamDef> defs;
  std::vector<PF_ParamDef*> params;
  const double frame = frameAt(scope.instance().profile(), in.currentTime, in.timeScale);
  for (int32_t i = 0; i < store.count(); ++i) defs.push_back(store.definition(i, frame));
  for (PF_ParamDef& def : defs) params.push_back(&def);

  const PF_Err err = entry(command, &in, out, params.data(), output, extra);
  out->message[PF_MessageSize - 1] = '\0';

  const HostStats left = scope.balance();
  const auto leaked = [&](int32_t count, const char* what) {
    if (count > 0) {
      scope.instance().fault("command " + std::to_string(command) + " left " +
                             std::to_string(count) + " " + what);
    }
  };
  leaked(left.suitesHeld, "suite(s) acquired");
  leaked(left.paramCheckouts, "parameter(s) checked out");
  leaked(left.liveStreams, "stream(s) undisposed");
  leaked(left.liveEffectObjects, "effect object(s) undisposed");
  leaked(left.pixelCheckouts, "layer pixel checkout(s) not checked in");
  leaked(left.deviceMemoryHeld, "device allocation(s) not freed");
  return err;
}

std::string errorText(PF_Err err) {
  const char* name = err == PF_Err_OutOfMemory                ? "out of memory"
                     : err == PF_Err_InternalStructDamaged    ? "internal structure damaged"
                     : err == PF_Err_UnrecognizedParamType    ? "unrecognized parameter type"
                     : err == PF_Err_BadCallbackParam         ? "bad callback parameter"
                     : err == PF_Interrupt_Cancel             ? "cancelled"
                     : err == PF_Err_SuiteNotFound            ? "suite not found"
                                                              : nullptr;
  return "error " + std::to_string(err) + (name ? std::string(" (") + name + ")" : "");
}

}  // namespace fm::host
