// A layer of the composition as a source of frames: its size, pixel aspect, kind and flags, and
// an image for each time at which it has one.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "host/EffectInterface.h"
#include "host/Image.h"

namespace fm::host {

struct LayerInfo {
  int32_t width = 0, height = 0;  // full-resolution pixels
  PF_Ratio pixelAspect{1, 1};
  int32_t objectType = AEGP_ObjectType_AudioVisual;
  uint32_t flags = 0;  // AEGP_LayerFlag_*
};

// The frame at a time (in units of the render's time scale), or null where the layer has none.
// Called from render threads, several at once.
using FrameSource = std::function<std::shared_ptr<const Image>(int32_t time)>;

class Layer {
 public:
  Layer(const LayerInfo& info, FrameSource frames) : info_(info), frames_(std::move(frames)) {}

  // One image at every time; the layer takes the image's size.
  static std::shared_ptr<const Layer> still(Image image, LayerInfo info = {});
  // The images at their times and nothing at any other; the layer takes the first one's size.
  static std::shared_ptr<const Layer> sequence(std::map<int32_t, Image> frames, LayerInfo info = {});

  const LayerInfo& info() const { return info_; }

  // The frame at time; null where there is none or where the source gives one of another size.
  std::shared_ptr<const Image> frameAt(int32_t time) const;

 private:
  LayerInfo info_;
  FrameSource frames_;
};

}  // namespace fm::host
