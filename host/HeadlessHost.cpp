#include "host/HeadlessHost.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "host/HostCallbacks.h"
#include "host/ParamText.h"

namespace fm::host {
namespace {

// The time the headless host renders and edits at: frame 0 of a 24 fps sequence.
constexpr int32_t kTimeStep = 1;
constexpr uint32_t kTimeScale = 24;

std::string hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", v);
  return text;
}

std::string errorText(PF_Err err) {
  return "error " + std::to_string(err);
}

}  // namespace

std::unique_ptr<HeadlessHost> HeadlessHost::load(const std::string& modulePath,
                                                 const HostProfile& profile, std::string* error) {
  std::string reason;
  std::unique_ptr<HeadlessHost> host(new HeadlessHost());
  std::vector<unsigned char> bytes;
  if (!readPropertyListBytes(modulePath, &bytes, &reason) ||
      !parsePropertyList(bytes.data(), bytes.size(), &host->propertyList_, &reason) ||
      !host->copy_.make(modulePath, &reason) ||
      !(host->library_ = DynamicLibrary::open(host->copy_.path(), &reason))) {
    if (error) *error = reason;
    return nullptr;
  }
  host->entry_ = reinterpret_cast<PF_EffectMainFunc>(
      host->library_->symbol(host->propertyList_.entryPoint.c_str()));
  if (!host->entry_) {
    if (error) {
      *error = modulePath + " has no entry point \"" + host->propertyList_.entryPoint + "\"";
    }
    return nullptr;
  }
  host->instance_ = std::make_unique<HostInstance>(profile);
  return host;
}

std::unique_ptr<HeadlessHost> HeadlessHost::open(const std::string& modulePath,
                                                 const HostProfile& profile, std::string* error) {
  std::unique_ptr<HeadlessHost> host = load(modulePath, profile, error);
  if (host && !host->start(error)) host.reset();
  return host;
}

HeadlessHost::~HeadlessHost() = default;

PF_InData HeadlessHost::inputRecord() const {
  PF_InData in;
  std::memset(&in, 0, sizeof(in));
  const HostProfile& profile = instance_->profile();
  in.appId = profile.appId;
  in.currentTime = 0;
  in.timeStep = kTimeStep;
  in.localTimeStep = kTimeStep;
  in.timeScale = kTimeScale;
  in.width = profile.layerWidth;
  in.height = profile.layerHeight;
  in.downsampleX = in.downsampleY = in.pixelAspectRatio = PF_Ratio{1, 1};
  in.quality = PF_Quality_High;
  in.paramCount = instance_->params().count();
  in.host = instance_->hostRef();
  in.effect = instance_->effectRef();
  in.interact = interactCallbacks();
  in.suites = suiteAccess();
  return in;
}

PF_Err HeadlessHost::command(PF_Cmd command, void* extra, PF_OutData* out, PF_World* output) {
  PF_InData in = inputRecord();
  PF_OutData localOut;
  if (!out) out = &localOut;
  std::memset(out, 0, sizeof(*out));

  // The module gets copies, so nothing it writes into them reaches the stored values.
  const ParamStore& store = instance_->params();
  std::vector<PF_ParamDef> defs;
  std::vector<PF_ParamDef*> params;
  for (int32_t i = 0; i < store.count(); ++i) defs.push_back(store.definition(i));
  for (PF_ParamDef& def : defs) params.push_back(&def);

  const HostStats before = instance_->stats();
  const PF_Err err = entry_(command, &in, out, params.data(), output, extra);
  out->message[PF_MessageSize - 1] = '\0';

  const HostStats after = instance_->stats();
  const auto leaked = [&](int32_t was, int32_t is, const char* what) {
    if (is > was) {
      instance_->fault("command " + std::to_string(command) + " left " + std::to_string(is - was) +
                       " " + what);
    }
  };
  leaked(before.suitesHeld, after.suitesHeld, "suite(s) acquired");
  leaked(before.paramCheckouts, after.paramCheckouts, "parameter(s) checked out");
  leaked(before.liveStreams, after.liveStreams, "stream(s) undisposed");
  leaked(before.liveEffectObjects, after.liveEffectObjects, "effect object(s) undisposed");
  return err;
}

PF_Err HeadlessHost::globalSetup() {
  const PF_Err err = command(PF_Cmd_GLOBAL_SETUP, nullptr, &lastOutput_);
  globalSetupOutput_ = lastOutput_;
  return err;
}

PF_Err HeadlessHost::about() {
  const PF_Err err = command(PF_Cmd_ABOUT, nullptr, &lastOutput_);
  aboutText_ = lastOutput_.message;
  return err;
}

PF_Err HeadlessHost::setUpParams() {
  return command(PF_Cmd_PARAMS_SETUP, nullptr, &lastOutput_);
}

PF_Err HeadlessHost::userChangedParam(int32_t index) {
  PF_UserChangedParamExtra changed{index};
  return command(PF_Cmd_USER_CHANGED_PARAM, &changed, &lastOutput_);
}

PF_Err HeadlessHost::updateParamsUi() {
  return command(PF_Cmd_UPDATE_PARAMS_UI, nullptr, &lastOutput_);
}

bool HeadlessHost::start(std::string* error) {
  const auto fail = [&](const std::string& reason) {
    if (error) *error = propertyList_.name + ": " + reason;
    return false;
  };
  if (const PF_Err err = globalSetup()) return fail("global setup failed with " + errorText(err));
  const PF_OutData& setup = globalSetupOutput_;
  if (setup.version != propertyList_.version || setup.outFlags != propertyList_.outFlags ||
      setup.outFlags2 != propertyList_.outFlags2) {
    return fail("global setup reports version " + hex(setup.version) + ", flags " +
                hex(setup.outFlags) + " and " + hex(setup.outFlags2) +
                " where the property list says " + hex(propertyList_.version) + ", " +
                hex(propertyList_.outFlags) + " and " + hex(propertyList_.outFlags2));
  }
  if (const PF_Err err = about()) return fail("About failed with " + errorText(err));

  std::string reason;
  if (const PF_Err err = setUpParams()) {
    const std::string& why = instance_->declarationError;
    return fail("parameter setup failed with " + errorText(err) + (why.empty() ? "" : ": " + why));
  }
  if (lastOutput_.paramCount != params().count()) {
    return fail("declared " + std::to_string(params().count()) + " parameters but reports " +
                std::to_string(lastOutput_.paramCount));
  }
  if (!params().finish(&reason)) return fail(reason);

  if (setup.outFlags & PF_OutFlag_SendUpdateParamsUi) {
    if (const PF_Err err = updateParamsUi()) {
      return fail("update-params-UI failed with " + errorText(err));
    }
  }
  return true;
}

bool HeadlessHost::setParam(int32_t index, const std::string& text, std::string* error) {
  if (index <= 0 || index >= params().count()) {
    if (error) *error = "no parameter has index " + std::to_string(index);
    return false;
  }
  PF_ParamValue value;
  if (!parseParamText(params().entry(index), params().panelName(index), text, &value, error)) {
    return false;
  }
  instance_->params().setValue(index, value);
  return notifyChange(index, error);
}

bool HeadlessHost::setParam(const std::string& name, const std::string& text, std::string* error) {
  const int32_t index = findParam(name, error);
  return index >= 0 && setParam(index, text, error);
}

bool HeadlessHost::notifyChange(int32_t index, std::string* error) {
  const auto refused = [&](const char* call, PF_Err err) {
    if (error) {
      *error = std::string(call) + " for \"" + params().panelName(index) + "\" failed with " +
               errorText(err);
    }
    return false;
  };
  if (params().entry(index).def.flags & PF_ParamFlag_Supervise) {
    if (const PF_Err err = userChangedParam(index)) return refused("user-changed-param", err);
  }
  if (globalSetupOutput_.outFlags & PF_OutFlag_SendUpdateParamsUi) {
    if (const PF_Err err = updateParamsUi()) return refused("update-params-UI", err);
  }
  return true;
}

}  // namespace fm::host
