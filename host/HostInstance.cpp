#include "host/HostInstance.h"

#include <algorithm>
#include <unordered_set>

namespace fm::host {
namespace {

std::mutex registryMutex;
std::unordered_set<const Handle*> liveHandles;

// Plug-in ids the registry hands out; distinct across instances so that one instance's id
// never passes for another's.
std::atomic<AEGP_PluginId> nextPluginId{7001};

constexpr int32_t kEffectLayerId = 1;

}  // namespace

Handle* findHandle(const void* pointer, HandleKind kind) {
  std::lock_guard<std::mutex> lock(registryMutex);
  const auto* handle = static_cast<const Handle*>(pointer);
  if (!liveHandles.count(handle) || handle->kind != kind) return nullptr;
  return const_cast<Handle*>(handle);
}

HostInstance::HostInstance(const HostProfile& profile) : profile_(profile) {
  host_ = makeHandle(HandleKind::Host, -1);
  effect_ = makeHandle(HandleKind::Effect, -1);
  layer_ = makeHandle(HandleKind::Layer, -1);
  params_.reset(kEffectLayerId, profile.layerWidth, profile.layerHeight);
}

HostInstance::~HostInstance() {
  for (const auto& [memory, bytes] : deviceMemory_) gpu_->release(memory);
  std::lock_guard<std::mutex> lock(registryMutex);
  for (auto it = liveHandles.begin(); it != liveHandles.end();) {
    if ((*it)->owner == this) {
      delete *it;
      it = liveHandles.erase(it);
    } else {
      ++it;
    }
  }
}

bool HostInstance::allocateDeviceMemory(uint64_t bytes, void** memory) {
  *memory = nullptr;
  if (!gpu_) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t budget = profile_.gpuMemoryBudget;
    if (budget >= 0 && (bytes > uint64_t(budget) || deviceBytes_ > uint64_t(budget) - bytes)) return false;
    deviceBytes_ += bytes;
  }
  if (!gpu_->allocate(bytes, memory)) {
    std::lock_guard<std::mutex> lock(mutex_);
    deviceBytes_ -= bytes;
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  deviceMemory_[*memory] = bytes;
  return true;
}

bool HostInstance::releaseDeviceMemory(void* memory) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = deviceMemory_.find(memory);
    if (it == deviceMemory_.end()) return false;
    deviceBytes_ -= it->second;
    deviceMemory_.erase(it);
  }
  gpu_->release(memory);
  return true;
}

Handle* HostInstance::makeHandle(HandleKind kind, int32_t paramIndex, CommandScope* scope) {
  auto* handle = new Handle{this, kind, paramIndex, scope};
  std::lock_guard<std::mutex> lock(registryMutex);
  liveHandles.insert(handle);
  return handle;
}

void HostInstance::dropHandle(Handle* handle) {
  {
    std::lock_guard<std::mutex> lock(registryMutex);
    liveHandles.erase(handle);
  }
  delete handle;
}

void HostInstance::forgetScope(const CommandScope* scope) {
  std::lock_guard<std::mutex> lock(registryMutex);
  for (const Handle* handle : liveHandles) {
    if (handle->scope == scope) const_cast<Handle*>(handle)->scope = nullptr;
  }
}

void HostInstance::setEffectLayer(std::shared_ptr<const Layer> layer) {
  std::lock_guard<std::mutex> lock(mutex_);
  effectLayer_ = std::move(layer);
}

int32_t HostInstance::addLayer(std::shared_ptr<const Layer> layer) {
  std::lock_guard<std::mutex> lock(mutex_);
  layers_.push_back(std::move(layer));
  return kEffectLayerId + int32_t(layers_.size());
}

std::shared_ptr<const Layer> HostInstance::layerOf(int32_t paramIndex) const {
  if (paramIndex < 0 || paramIndex >= params_.count()) return nullptr;
  const PF_ParamDef& def = params_.entry(paramIndex).def;
  if (def.type != PF_Param_Layer) return nullptr;
  const int32_t id = def.u.layer.layerId;
  std::lock_guard<std::mutex> lock(mutex_);
  if (id == kEffectLayerId) return effectLayer_;
  const int64_t slot = int64_t(id) - kEffectLayerId - 1;
  return slot >= 0 && slot < int64_t(layers_.size()) ? layers_[size_t(slot)] : nullptr;
}

LayerInfo HostInstance::effectLayerInfo() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (effectLayer_) return effectLayer_->info();
  LayerInfo info;
  info.width = profile_.layerWidth;
  info.height = profile_.layerHeight;
  return info;
}

WorkerPool& HostInstance::workers() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!workers_) workers_ = std::make_unique<WorkerPool>(profile_.iterateThreads);
  return *workers_;
}

bool HostInstance::abortDue() {
  const int64_t query = abortQueryCount_.fetch_add(1);
  const bool planned = profile_.abortFromQuery >= 0 && query >= profile_.abortFromQuery;
  return planned || abortRequested.load();
}

bool HostInstance::offers(const std::string& name) const {
  const auto& withheld = profile_.withheldSuites;
  return std::find(withheld.begin(), withheld.end(), name) == withheld.end();
}

void HostInstance::noteAcquired(const std::string& name, int32_t version) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++held_[{name, version}];
  ++stats_.suitesHeld;
}

bool HostInstance::noteReleased(const std::string& name, int32_t version) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = held_.find({name, version});
  if (it == held_.end() || it->second == 0) return false;
  --it->second;
  --stats_.suitesHeld;
  return true;
}

AEGP_PluginId HostInstance::registerPlugin(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  pluginId_ = nextPluginId++;
  registered_ = true;
  ++stats_.registrations;
  stats_.registeredName = name;
  return pluginId_;
}

bool HostInstance::registeredId(AEGP_PluginId* id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  *id = pluginId_;
  return registered_;
}

void HostInstance::fault(const std::string& what) {
  std::lock_guard<std::mutex> lock(mutex_);
  stats_.faults.push_back(what);
}

HostStats HostInstance::stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

}  // namespace fm::host
