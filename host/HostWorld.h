// A world the host hands a module: the record, the pixels behind it and the pixel format the
// world suite reports for it. Worlds are registered while they live, so the world suite tells a
// world the host made from any other pointer.
#pragma once

#include <cstdint>
#include <memory>

#include "host/EffectInterface.h"

namespace fm::host {

class HostWorld {
 public:
  // A world over width x height pixels at data, rows rowBytes apart, its top-left pixel at
  // (originX, originY) of the layer; keepAlive holds the memory for as long as the world lives.
  HostWorld(void* data, int64_t rowBytes, int32_t width, int32_t height, int32_t originX,
            int32_t originY, int32_t depth, uint32_t pixelFormat,
            std::shared_ptr<const void> keepAlive);
  ~HostWorld();
  HostWorld(const HostWorld&) = delete;
  HostWorld& operator=(const HostWorld&) = delete;

  PF_World* world() { return &world_; }

  // A device world: its pixels are in device memory, which the GPU device suite reports.
  void setDeviceMemory(void* memory) { deviceMemory_ = memory; }

 private:
  PF_World world_;
  uint32_t pixelFormat_;
  std::shared_ptr<const void> keepAlive_;
  void* deviceMemory_ = nullptr;

  friend bool pixelFormatOfWorld(const PF_World* world, uint32_t* format);
// The device memory of a live device world the host made; false for any other pointer.
bool deviceMemoryOfWorld(const PF_World* world, void** memory);
  friend bool deviceMemoryOfWorld(const PF_World* world, void** memory);
};

// The format of a live world the host made; false for any other pointer.
bool pixelFormatOfWorld(const PF_World* world, uint32_t* format);
// The device memory of a live device world the host made; false for any other pointer.
bool deviceMemoryOfWorld(const PF_World* world, void** memory);

}  // namespace fm::host
