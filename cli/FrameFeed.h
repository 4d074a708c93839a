// A clip's frames at a render depth, read on background threads ahead of the renders that need
// them and kept while wanted; the source of a host layer.
#pragma once

#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "cli/Clip.h"
#include "cli/TaskPool.h"
#include "host/Layer.h"

namespace fm::cli {

struct FeedFrame {
  host::Image image;
  OIIO::ImageSpec header;  // the file's, for its metadata
};

class FrameFeed {
 public:
  FrameFeed(std::shared_ptr<const Clip> clip, int depth, int threads);
  // Reads not yet started are dropped; nobody may be waiting for a frame any more.
  ~FrameFeed() { readers_.dropWaiting(); }

  const Clip& clip() const { return *clip_; }

  // Starts reading a frame the clip has, unless it is read or being read.
  void prefetch(int frame);
  // The frame, waiting for it (read here when nobody started it); null where the clip has no
  // such frame or reading it failed.
  std::shared_ptr<const FeedFrame> get(int frame);
  // Its pixels alone.
  std::shared_ptr<const host::Image> image(int frame);
  // Forgets the frames that are not wanted any more.
  void keepOnly(const std::function<bool(int frame)>& wanted);

  // Why a frame could not be read; empty while it could, or was not tried.
  std::string errorOf(int frame) const;
  // The first read that failed; empty while none has.
  std::string error() const;

  // The frames as a layer whose frame f is at time f × timeStep.
  std::shared_ptr<const host::Layer> layer(int32_t timeStep, const PF_Ratio& pixelAspect);

 private:
  using Frame = std::shared_ptr<const FeedFrame>;
  // The frame's read, registered now with the task that performs it in *task, or found under
  // way (no task).
  std::shared_future<Frame> start(int frame, std::function<void()>* task);

  std::shared_ptr<const Clip> clip_;
  const int depth_;
  mutable std::mutex mutex_;
  std::map<int, std::shared_future<Frame>> frames_;
  std::map<int, std::string> errors_;
  TaskPool readers_;
};

}  // namespace fm::cli
