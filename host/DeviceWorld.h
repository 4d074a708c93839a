// A world in GPU device memory, as a GPU host hands it to a module: float BGRA, straight colour,
// 16 bytes a pixel, rows a whole number of pixels apart. Frames go in and out through host memory.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/GpuDevice.h"
#include "host/HostWorld.h"
#include "host/Image.h"

namespace fm::host {

class DeviceWorld {
 public:
  // width x height pixels placed at (originX, originY) of the layer; null with the reason when
  // the device has no memory for it. The world suite reports `pixelFormat` for it.
  static std::unique_ptr<DeviceWorld> make(GpuDevice& device, int32_t width, int32_t height,
                                           int32_t originX, int32_t originY, std::string* why,
                                           uint32_t pixelFormat = PF_PixelFormat_GpuBgra128);
  ~DeviceWorld();
  DeviceWorld(const DeviceWorld&) = delete;
  DeviceWorld& operator=(const DeviceWorld&) = delete;

  PF_World* world() { return world_->world(); }

  // The world's pixels from `image` (any depth) starting at its pixel (x, y), read as the
  // module reads a host world of that depth.
  bool upload(const Image& image, int32_t x, int32_t y);
  // The world's pixels into host memory laid out as a world of `depth` (see Image.h), quantised
  // as an integer world is written.
  bool download(void* data, int64_t rowBytes, int32_t depth) const;

 private:
  DeviceWorld(GpuDevice& device, void* memory, int32_t pitch) : device_(device), memory_(memory), pitch_(pitch) {}

  GpuDevice& device_;
  void* memory_;
  int32_t pitch_;  // pixels
  std::unique_ptr<HostWorld> world_;
};

}  // namespace fm::host
