// The headless host: loads an effect module by path and drives its entry point the way a
// compositing host does, with real records over in-memory state. The tests and the command-line
// tool reach the module only through it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/DynamicLibrary.h"
#include "host/EffectInterface.h"
#include "host/FrameTypes.h"
#include "host/HostInstance.h"
#include "host/Image.h"
#include "host/Layer.h"
#include "host/HostProfile.h"
#include "host/ModuleFile.h"
#include "host/ParamStore.h"
#include "host/PropertyList.h"

namespace fm::host {

class HeadlessHost {
 public:
  // Loads the module at modulePath after reading and checking its property list; no command is
  // sent yet. With the profile's privateModuleCopy the host loads a copy of its own, so the
  // module's process-wide state starts fresh as in a newly started host; otherwise hosts of one
  // process loading the same file share it. Null with the reason when the file is no usable
  // module.
  static std::unique_ptr<HeadlessHost> load(const std::string& modulePath,
                                            const HostProfile& profile, std::string* error);
  // load, then start.
  static std::unique_ptr<HeadlessHost> open(const std::string& modulePath,
                                            const HostProfile& profile, std::string* error);
  ~HeadlessHost();
  HeadlessHost(const HeadlessHost&) = delete;
  HeadlessHost& operator=(const HeadlessHost&) = delete;

  // Start-up as a host does it: global setup, whose version and flags must equal the property
  // list's; About; parameter setup; a first update-params-UI when the effect asks for them; GPU
  // device setup when the profile asks for a GPU and one is found.
  bool start(std::string* error);

  // The GPU device offered to the module: its name (empty when none was found, gpuWhy() says
  // why), its framework number as reported, and whether the module took it at device setup.
  const std::string& gpuDeviceName() const;
  const std::string& gpuWhy() const { return gpuWhy_; }
  int32_t gpuFramework() const;
  bool gpuAccepted() const;

  // Another exported symbol of the loaded module (a test module's hooks); null when none.
  void* moduleSymbol(const char* name) const;

  // The commands one by one, each returning the module's error code. The output record of the
  // last of them stays readable in lastOutput().
  PF_Err globalSetup();
  PF_Err about();
  PF_Err setUpParams();
  PF_Err userChangedParam(int32_t index);
  PF_Err updateParamsUi();
  // Any command with this host's records; out may be null.
  PF_Err command(PF_Cmd command, void* extra, PF_OutData* out, PF_World* output = nullptr);

  const PropertyList& propertyList() const { return propertyList_; }
  const std::string& aboutText() const { return aboutText_; }
  const PF_OutData& globalSetupOutput() const { return globalSetupOutput_; }
  const PF_OutData& lastOutput() const { return lastOutput_; }

  // The declared parameters: names, ranges, choice labels and current values.
  const ParamStore& params() const { return instance_->params(); }
  bool hidden(int32_t index) const { return instance_->params().hidden(index); }
  int32_t findParam(const std::string& name, std::string* error) const {
    return instance_->params().find(name, error);
  }

  // Sets a value from text (see ParamText.h) as a user would, then tells the module: a
  // user-changed-param call for a supervised parameter, an update-params-UI call when the
  // effect asked for them. Text with keyframes ("0@1,40@50", at frame numbers; see
  // HostProfile::frameDuration) animates a parameter that may vary over time. By name, within
  // the chosen blur kind (ParamStore::find).
  bool setParam(int32_t index, const std::string& text, std::string* error);
  bool setParam(const std::string& name, const std::string& text, std::string* error);

  // Stores a value as it stands, unchecked and without telling the module: a host handing over
  // damaged values.
  void pokeParam(int32_t index, const PF_ParamValue& value) {
    instance_->params().setValue(index, value);
  }

  // The host's abort callback reports a cancel while set.
  void requestAbort(bool abort) { instance_->abortRequested = abort; }

  // Attaches a layer to a layer parameter (index 0: the layer the effect is applied to, whose
  // size, pixel aspect, type and flags the input record then carries); null detaches it. By
  // name as setParam finds it. False with the reason for a parameter that takes no layer.
  bool attachLayer(int32_t index, std::shared_ptr<const Layer> layer, std::string* error);
  bool attachLayer(const std::string& name, std::shared_ptr<const Layer> layer,
                   std::string* error);

  // Renders one frame as a host does: pre-render with the frame's time, depth, downsampling
  // and quality, then render into the memory `place` names once the result rectangle is known.
  // The report says what was checked out and, on failure, why. Several frames may render at
  // once on different threads, while no parameter or layer changes.
  FrameReport renderFrame(const FrameRequest& request, const OutputPlacer& place);
  // Into an image of the result rectangle, at the request's depth.
  FrameReport renderFrame(const FrameRequest& request, Image* output);
  // Renders the frames at once, each on a thread of its own (at most `threads`, 0 for one per
  // processor); outputs[i] receives frame i as renderFrame does.
  std::vector<FrameReport> renderFrames(const std::vector<FrameRequest>& requests,
                                        std::vector<Image>* outputs, int threads = 0);

  // The input record of commands other than renders (time 0 at 24 frames a second, full
  // resolution, high quality), and the module's entry point: for calls this host would never
  // make, such as a malformed one.
  PF_InData inputRecord() const;
  PF_EffectMainFunc entryPoint() const { return entry_; }

  HostStats stats() const { return instance_->stats(); }

 private:
  HeadlessHost() = default;
  bool notifyChange(int32_t index, std::string* error);
  PF_Err setUpGpuDevice();

  std::unique_ptr<PrivateCopy> copy_;
  std::unique_ptr<DynamicLibrary> library_;
  std::unique_ptr<HostInstance> instance_;
  PF_EffectMainFunc entry_ = nullptr;
  PropertyList propertyList_;
  std::string aboutText_;
  PF_OutData globalSetupOutput_{};
  PF_OutData lastOutput_{};
  std::string gpuWhy_;
};

}  // namespace fm::host
