// The host side of one effect instance: the state the C callbacks reach through the handles a
// module is given, and the check of every handle that comes back.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/EffectInterface.h"
#include "host/GpuDevice.h"
#include "host/HostProfile.h"
#include "host/Layer.h"
#include "host/ParamStore.h"
#include "host/WorkerPool.h"

namespace fm::host {

class CommandScope;
class HostInstance;

enum class HandleKind { Host, Effect, EffectObject, Stream, Layer };

// What every pointer the host hands a module points to. Live handles are registered, so a
// pointer that comes back is looked up before it is used. Handles made for one command know
// its scope, so that renders on several threads keep their accounts apart.
struct Handle {
  HostInstance* owner;
  HandleKind kind;
  int32_t paramIndex;
  CommandScope* scope;
};

// The live handle of that kind at pointer; null for anything else.
Handle* findHandle(const void* pointer, HandleKind kind);

class HostInstance {
 public:
  explicit HostInstance(const HostProfile& profile);
  ~HostInstance();
  HostInstance(const HostInstance&) = delete;
  HostInstance& operator=(const HostInstance&) = delete;

  const HostProfile& profile() const { return profile_; }

  // Declared and changed between commands only; commands read it.
  ParamStore& params() { return params_; }
  const ParamStore& params() const { return params_; }

  PF_HostRef hostRef() const { return reinterpret_cast<PF_HostRef>(host_); }
  PF_EffectRef effectRef() const { return reinterpret_cast<PF_EffectRef>(effect_); }
  AEGP_LayerRef layerRef() const { return reinterpret_cast<AEGP_LayerRef>(layer_); }

  // Handles made for the module at its request, and given back by it.
  Handle* makeHandle(HandleKind kind, int32_t paramIndex, CommandScope* scope = nullptr);
  void dropHandle(Handle* handle);
  // The scope is ending: handles made in it that the module still holds belong to no command.
  void forgetScope(const CommandScope* scope);

  // Layers: the one the effect is applied to (parameter 0), and those attached to layer
  // parameters by the id the parameter's value holds. Changed between commands only.
  void setEffectLayer(std::shared_ptr<const Layer> layer);
  int32_t addLayer(std::shared_ptr<const Layer> layer);  // its id
  // The layer parameter index refers to now; null for none.
  std::shared_ptr<const Layer> layerOf(int32_t paramIndex) const;
  // The effect layer's size, pixel aspect, type and flags.
  LayerInfo effectLayerInfo() const;

  // The generic iterator's threads, started at first use.
  WorkerPool& workers();
  // One query of the abort callback: true when it reports a cancel.
  bool abortDue();

  // Suites: whether this host offers a name, and the balance of acquisitions.
  bool offers(const std::string& name) const;
  void noteAcquired(const std::string& name, int32_t version);
  bool noteReleased(const std::string& name, int32_t version);

  // The plug-in registry.
  AEGP_PluginId registerPlugin(const std::string& name);
  bool registeredId(AEGP_PluginId* id) const;

  template <class Change>
  void count(Change change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change(stats_);
  }
  void fault(const std::string& what);
  HostStats stats() const;

  // The GPU device this host offers (null: none), and the module's record of it from device
  // setup (null: the module declined the device). Set at start-up only.
  GpuDevice* gpuDevice() const { return gpu_.get(); }
  void setGpuDevice(std::unique_ptr<GpuDevice> device) { gpu_ = std::move(device); }
  void* gpuData = nullptr;
  // Device memory for the module, within the profile's budget; release is false for memory the
  // module was not given.
  bool allocateDeviceMemory(uint64_t bytes, void** memory);
  bool releaseDeviceMemory(void* memory);

  std::atomic<bool> abortRequested{false};
  std::string declarationError;  // why the last refused declaration was refused

 private:
  const HostProfile profile_;
  ParamStore params_;
  Handle* host_;
  Handle* effect_;
  Handle* layer_;
  mutable std::mutex mutex_;
  std::shared_ptr<const Layer> effectLayer_;
  std::vector<std::shared_ptr<const Layer>> layers_;  // id 2 onwards
  std::unique_ptr<WorkerPool> workers_;
  std::atomic<int64_t> abortQueryCount_{0};
  HostStats stats_;
  std::map<std::pair<std::string, int32_t>, int32_t> held_;
  AEGP_PluginId pluginId_ = 0;
  bool registered_ = false;
  std::unique_ptr<GpuDevice> gpu_;
  std::map<void*, uint64_t> deviceMemory_;  // given to the module, by address
  uint64_t deviceBytes_ = 0;
};

}  // namespace fm::host
