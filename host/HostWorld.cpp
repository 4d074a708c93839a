#include "host/HostWorld.h"

#include <mutex>
#include <unordered_map>

namespace fm::host {
namespace {

std::mutex registryMutex;
std::unordered_map<const PF_World*, const HostWorld*> liveWorlds;

}  // namespace

HostWorld::HostWorld(void* data, int64_t rowBytes, int32_t width, int32_t height, int32_t originX,
                     int32_t originY, int32_t depth, uint32_t pixelFormat,
                     std::shared_ptr<const void> keepAlive)
    : world_{data, int32_t(rowBytes), width, height, originX, originY,
             depth > 8 ? PF_WorldFlag_Deep : 0u},
      pixelFormat_(pixelFormat),
      keepAlive_(std::move(keepAlive)) {
  std::lock_guard<std::mutex> lock(registryMutex);
  liveWorlds[&world_] = this;
}

HostWorld::~HostWorld() {
  std::lock_guard<std::mutex> lock(registryMutex);
  liveWorlds.erase(&world_);
}

bool pixelFormatOfWorld(const PF_World* world, uint32_t* format) {
  std::lock_guard<std::mutex> lock(registryMutex);
  const auto it = liveWorlds.find(world);
  if (it == liveWorlds.end()) return false;
  *format = it->second->pixelFormat_;
  return true;
}

bool deviceMemoryOfWorld(const PF_World* world, void** memory) {
  std::lock_guard<std::mutex> lock(registryMutex);
  const auto it = liveWorlds.find(world);
  if (it == liveWorlds.end() || !it->second->deviceMemory_) return false;
  *memory = it->second->deviceMemory_;
  return true;
}

}  // namespace fm::host
