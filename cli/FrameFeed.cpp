#include "cli/FrameFeed.h"

namespace fm::cli {

FrameFeed::FrameFeed(std::shared_ptr<const Clip> clip, int depth, int threads)
    : clip_(std::move(clip)), depth_(depth), readers_(clip_->info().movie ? 1 : threads) {}

std::shared_future<FrameFeed::Frame> FrameFeed::start(int frame, std::function<void()>* task) {
  if (clip_->isStill()) frame = clip_->frames().front();
  std::lock_guard<std::mutex> lock(mutex_);
  if (const auto it = frames_.find(frame); it != frames_.end()) return it->second;
  auto promise = std::make_shared<std::promise<Frame>>();
  std::shared_future<Frame> future = promise->get_future().share();
  frames_[frame] = future;
  *task = [this, frame, promise] {
    auto image = std::make_shared<FeedFrame>();
    std::string why;
    const bool read = clip_->read(frame, depth_, &image->image, &image->header, &why);
    if (!read) {
      std::lock_guard<std::mutex> lock(mutex_);
      errors_[frame] = why;
    }
    promise->set_value(read ? Frame(std::move(image)) : nullptr);
  };
  return future;
}

void FrameFeed::prefetch(int frame) {
  if (!clip_->has(frame)) return;
  std::function<void()> task;
  start(frame, &task);
  if (task) readers_.run(std::move(task));
}

std::shared_ptr<const FeedFrame> FrameFeed::get(int frame) {
  if (!clip_->has(frame)) return nullptr;
  std::function<void()> task;
  std::shared_future<Frame> pending = start(frame, &task);
  if (task) task();
  return pending.get();
}

std::shared_ptr<const host::Image> FrameFeed::image(int frame) {
  const Frame f = get(frame);
  return f ? std::shared_ptr<const host::Image>(f, &f->image) : nullptr;
}

void FrameFeed::keepOnly(const std::function<bool(int)>& wanted) {
  if (clip_->isStill()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = frames_.begin(); it != frames_.end();) {
    it = wanted(it->first) ? std::next(it) : frames_.erase(it);
  }
}

std::string FrameFeed::errorOf(int frame) const {
  if (clip_->isStill()) frame = clip_->frames().front();
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = errors_.find(frame);
  return it == errors_.end() ? "" : it->second;
}

std::string FrameFeed::error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return errors_.empty() ? "" : errors_.begin()->second;
}

std::shared_ptr<const host::Layer> FrameFeed::layer(int32_t timeStep, const PF_Ratio& pixelAspect) {
  host::LayerInfo info;
  info.width = clip_->info().width;
  info.height = clip_->info().height;
  info.pixelAspect = pixelAspect;
  return std::make_shared<const host::Layer>(
      info, [this, timeStep](int32_t time) -> std::shared_ptr<const host::Image> {
        if (timeStep <= 0 || time % timeStep != 0) return nullptr;
        return image(time / timeStep);
      });
}

}  // namespace fm::cli
