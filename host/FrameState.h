// One frame between pre-render and render: the layers checked out for it, the worlds handed to
// the module, the output world and the cache-key bytes.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/EffectInterface.h"
#include "host/FrameTypes.h"
#include "host/HostInstance.h"
#include "host/DeviceWorld.h"
#include "host/HostWorld.h"
#include "host/Image.h"

namespace fm::host {

class FrameState {
 public:
  FrameState(HostInstance& instance, const FrameRequest& request)
      : instance_(instance), request_(request) {}

  const FrameRequest& request() const { return request_; }

  // The rectangle of a layer of that full-resolution size at the frame's downsampling.
  PF_Rect layerRect(int32_t width, int32_t height) const;

  // Pre-render: a layer parameter's pixels within the request at a time (in units of
  // 1 / timeScale); a layer without a frame at that time delivers nothing.
  PF_Err checkoutLayer(int32_t paramIndex, int32_t checkoutId, const PF_Rect& request,
                       int32_t time, uint32_t timeScale, PF_CheckoutResult* result);
  void mixCacheKey(const void* bytes, uint32_t count);

  // Render: the world of a pre-render checkout (null when nothing was delivered), and its
  // check-in. The output world; null when the result is empty.
  PF_Err checkoutPixels(int32_t checkoutId, PF_World** world);
  PF_Err checkinPixels(int32_t checkoutId);
  PF_World* output() const {
    if (deviceOutput_) return deviceOutput_->world();
    return output_ ? output_->world() : nullptr;
  }

  // From here on layer worlds and the output world live on `device` (before any checkout of
  // pixels, after prepareOutput); false with the reason when the device has no memory for the
  // output.
  bool useDevice(GpuDevice& device, std::string* error);
  // The device's output world into the output memory prepareOutput chose.
  bool downloadOutput(std::string* error);

  // The output world over `target` when it holds the whole result, else a world of the host's
  // own; target pixels outside the result are cleared. False with the reason for a target that
  // cannot hold pixels of this depth.
  bool prepareOutput(const PF_Rect& result, const OutputTarget& target, std::string* error);
  // Copies a world of the host's own into the target.
  void deliverOutput(const OutputTarget& target) const;

  const std::vector<CheckoutRecord>& checkouts() const { return records_; }
  std::vector<unsigned char> cacheKey() const;

 private:
  struct Checkout {
    CheckoutRecord record;
    std::shared_ptr<const Image> frame;  // full resolution, as the layer holds it
    std::unique_ptr<HostWorld> world;   // made at the first pixel checkout
    std::unique_ptr<DeviceWorld> deviceWorld;  // instead, when rendering on a device
    int32_t held = 0;
  };
  Checkout* find(int32_t checkoutId);
  std::shared_ptr<const Image> pixelsOf(const Checkout& c) const;
  std::unique_ptr<HostWorld> makeWorld(const Checkout& c) const;
  PF_Err makeDeviceWorld(Checkout& c);

  HostInstance& instance_;
  const FrameRequest request_;
  std::deque<Checkout> checkouts_;  // a deque: checkouts never move
  std::vector<CheckoutRecord> records_;
  std::vector<unsigned char> cacheKey_;
  PF_Rect outputRect_{};
  std::shared_ptr<Image> ownOutput_;
  std::unique_ptr<HostWorld> output_;
  GpuDevice* device_ = nullptr;
  std::unique_ptr<DeviceWorld> deviceOutput_;
  mutable std::mutex mutex_;
};

}  // namespace fm::host
