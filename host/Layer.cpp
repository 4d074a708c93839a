#include "host/Layer.h"

namespace fm::host {

std::shared_ptr<const Layer> Layer::still(Image image, LayerInfo info) {
  info.width = image.width();
  info.height = image.height();
  auto frame = std::make_shared<const Image>(std::move(image));
  return std::make_shared<const Layer>(info, [frame](int32_t) { return frame; });
}

std::shared_ptr<const Layer> Layer::sequence(std::map<int32_t, Image> frames, LayerInfo info) {
  if (!frames.empty()) {
    info.width = frames.begin()->second.width();
    info.height = frames.begin()->second.height();
  }
  auto held = std::make_shared<std::map<int32_t, std::shared_ptr<const Image>>>();
  for (auto& [time, image] : frames) (*held)[time] = std::make_shared<const Image>(std::move(image));
  return std::make_shared<const Layer>(info, [held](int32_t time) {
    const auto it = held->find(time);
    return it == held->end() ? nullptr : it->second;
  });
}

std::shared_ptr<const Image> Layer::frameAt(int32_t time) const {
  if (!frames_) return nullptr;
  std::shared_ptr<const Image> frame = frames_(time);
  if (!frame || frame->empty() || frame->width() != info_.width ||
      frame->height() != info_.height) {
    return nullptr;
  }
  return frame;
}

}  // namespace fm::host
