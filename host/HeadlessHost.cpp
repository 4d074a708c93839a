#include "host/HeadlessHost.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "host/CommandScope.h"
#include "host/FrameRender.h"
#include "host/HostCallbacks.h"
#include "host/ParamText.h"

namespace fm::host {
namespace {

std::string hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", v);
  return text;
}

}  // namespace

std::unique_ptr<HeadlessHost> HeadlessHost::load(const std::string& modulePath,
                                                 const HostProfile& profile, std::string* error) {
  std::string reason;
  std::unique_ptr<HeadlessHost> host(new HeadlessHost());
  std::vector<unsigned char> bytes;
  if (!readPropertyListBytes(modulePath, &bytes, &reason) ||
      !parsePropertyList(bytes.data(), bytes.size(), &host->propertyList_, &reason)) {
    if (error) *error = reason;
    return nullptr;
  }
  if (profile.privateModuleCopy) {
    host->copy_ = std::make_unique<PrivateCopy>();
    if (!host->copy_->make(modulePath, &reason)) {
      if (error) *error = reason;
      return nullptr;
    }
  }
  if (!(host->library_ = DynamicLibrary::open(host->copy_ ? host->copy_->path() : modulePath,
                                               &reason))) {
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

HeadlessHost::~HeadlessHost() {
  if (instance_ && instance_->gpuData) {
    PF_GpuDeviceSetdownInput input{instance_->gpuData, gpuFramework(), 0};
    PF_GpuDeviceSetdownExtra extra{&input};
    PF_OutData out{};
    if (command(PF_Cmd_GPU_DEVICE_SETDOWN, &extra, &out) == PF_Err_None) instance_->gpuData = nullptr;
  }
}

int32_t HeadlessHost::gpuFramework() const {
  const GpuDevice* device = instance_->gpuDevice();
  if (!device) return PF_GpuFramework_None;
  return instance_->profile().gpuFramework ? instance_->profile().gpuFramework : device->framework();
}

const std::string& HeadlessHost::gpuDeviceName() const {
  static const std::string none;
  return instance_->gpuDevice() ? instance_->gpuDevice()->name() : none;
}

bool HeadlessHost::gpuAccepted() const { return instance_->gpuData != nullptr; }

void* HeadlessHost::moduleSymbol(const char* name) const { return library_->symbol(name); }

PF_Err HeadlessHost::setUpGpuDevice() {
  const HostProfile& profile = instance_->profile();
  if (profile.gpu == GpuChoice::Off) return PF_Err_None;
  instance_->setGpuDevice(GpuDevice::open(profile.gpu, &gpuWhy_));
  if (!instance_->gpuDevice()) return PF_Err_None;
  PF_GpuDeviceSetupInput input{gpuFramework(), 0};
  PF_GpuDeviceSetupOutput output{nullptr};
  PF_GpuDeviceSetupExtra extra{&input, &output};
  const PF_Err err = command(PF_Cmd_GPU_DEVICE_SETUP, &extra, &lastOutput_);
  if (err == PF_Err_None) instance_->gpuData = output.gpuData;
  return err;
}

PF_InData HeadlessHost::inputRecord() const {
  return host::inputRecord(*instance_, FrameRequest{}, instance_->hostRef(), instance_->effectRef());
}

PF_Err HeadlessHost::command(PF_Cmd command, void* extra, PF_OutData* out, PF_World* output) {
  CommandScope scope(*instance_, nullptr);
  PF_InData in = host::inputRecord(*instance_, FrameRequest{}, scope.hostRef(), scope.effectRef());
  return dispatch(entry_, scope, in, command, extra, out, output);
}

bool HeadlessHost::attachLayer(int32_t index, std::shared_ptr<const Layer> layer,
                               std::string* error) {
  if (index < 0 || index >= params().count() || params().entry(index).def.type != PF_Param_Layer) {
    if (error) *error = "parameter " + std::to_string(index) + " takes no layer";
    return false;
  }
  if (index == 0) {
    instance_->setEffectLayer(std::move(layer));
    const LayerInfo now = instance_->effectLayerInfo();
    instance_->params().resizeLayer(now.width, now.height);
    return true;
  }
  PF_ParamValue value = params().entry(index).def.u;
  value.layer.layerId = layer ? instance_->addLayer(std::move(layer)) : 0;
  instance_->params().setValue(index, value);
  return true;
}

bool HeadlessHost::attachLayer(const std::string& name, std::shared_ptr<const Layer> layer,
                               std::string* error) {
  const int32_t index = findParam(name, error);
  return index >= 0 && attachLayer(index, std::move(layer), error);
}

FrameReport HeadlessHost::renderFrame(const FrameRequest& request, const OutputPlacer& place) {
  return host::renderFrame(*instance_, entry_, request, place);
}

FrameReport HeadlessHost::renderFrame(const FrameRequest& request, Image* output) {
  return renderFrame(request, [&](const PF_Rect& r) {
    *output = Image(r.right - r.left, r.bottom - r.top, request.depth);
    return output->empty() ? OutputTarget{} : OutputTarget{output->row(0), output->rowBytes(), r};
  });
}

std::vector<FrameReport> HeadlessHost::renderFrames(const std::vector<FrameRequest>& requests,
                                                    std::vector<Image>* outputs, int threads) {
  std::vector<FrameReport> reports(requests.size());
  outputs->assign(requests.size(), Image());
  if (threads < 1) threads = int(std::max(1u, std::thread::hardware_concurrency()));
  std::atomic<size_t> next{0};
  const auto work = [&] {
    for (size_t i; (i = next.fetch_add(1)) < requests.size();) {
      reports[i] = renderFrame(requests[i], &(*outputs)[i]);
    }
  };
  std::vector<std::thread> pool;
  const size_t extra = std::min(size_t(threads), requests.size());
  for (size_t i = 1; i < extra; ++i) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
  return reports;
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
  if (const PF_Err err = setUpGpuDevice()) return fail("GPU device setup failed with " + errorText(err));
  return true;
}

bool HeadlessHost::setParam(int32_t index, const std::string& text, std::string* error) {
  if (index <= 0 || index >= params().count()) {
    if (error) *error = "no parameter has index " + std::to_string(index);
    return false;
  }
  const ParamEntry& entry = params().entry(index);
  const std::string name = params().panelName(index);
  if (hasKeyframes(text)) {
    if (entry.def.flags & PF_ParamFlag_CannotTimeVary) {
      if (error) *error = "\"" + name + "\" cannot vary over time: give it one value";
      return false;
    }
    std::vector<ParamKey> keys;
    if (!parseParamKeys(entry, name, text, &keys, error)) return false;
    instance_->params().setKeys(index, std::move(keys));
    return notifyChange(index, error);
  }
  PF_ParamValue value;
  if (!parseParamText(entry, name, text, &value, error)) return false;
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
