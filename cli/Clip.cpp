#include "cli/Clip.h"

#include <algorithm>

#include "cli/FrameList.h"

namespace fm::cli {

std::unique_ptr<Clip> Clip::open(const std::string& name, std::string* error) {
  std::unique_ptr<Clip> clip(new Clip());
  clip->name_ = name;
  clip->pattern_ = SequencePattern(name);
  clip->first_ = std::make_unique<ImageFile>();
  if (clip->pattern_.isSequence()) {
    clip->frames_ = clip->pattern_.framesOnDisk();
    if (clip->frames_.empty()) {
      if (error) *error = "no files match " + name;
      return nullptr;
    }
    if (!clip->first_->open(clip->pattern_.pathOf(clip->frames_.front()), error)) return nullptr;
    return clip;
  }
  if (!clip->first_->open(name, error)) return nullptr;
  if (clip->info().movie) {
    for (int f = 1; f <= clip->info().frames; ++f) clip->frames_.push_back(f);
  } else {
    clip->frames_ = {1};
  }
  return clip;
}

bool Clip::has(int frame) const {
  return isStill() || std::binary_search(frames_.begin(), frames_.end(), frame);
}

std::string Clip::sourceOf(int frame) const {
  if (pattern_.isSequence()) return pattern_.pathOf(frame);
  if (info().movie) return name_ + " frame " + std::to_string(frame);
  return name_;
}

std::string Clip::missing(int frame) const {
  return "input frame " + std::to_string(frame) + " is missing: " +
         (pattern_.isSequence() ? sourceOf(frame) + " does not exist (" : "") + name_ +
         " has frames " + describeFrames(frames_) + (pattern_.isSequence() ? ")" : "");
}

bool Clip::read(int frame, int depth, host::Image* image, OIIO::ImageSpec* header,
                std::string* error) const {
  if (!has(frame)) {
    if (error) *error = missing(frame);
    return false;
  }
  if (!pattern_.isSequence()) {
    *header = info().spec;
    return first_->read(info().movie ? frame - 1 : 0, depth, image, error);
  }
  ImageFile file;
  if (!file.open(pattern_.pathOf(frame), error) || !file.read(0, depth, image, error)) return false;
  *header = file.info().spec;
  const FileInfo& a = info();
  const FileInfo& b = file.info();
  if (b.width != a.width || b.height != a.height || b.x != a.x || b.y != a.y) {
    if (error) {
      *error = b.path + " is " + std::to_string(b.width) + "x" + std::to_string(b.height) +
               " at (" + std::to_string(b.x) + ", " + std::to_string(b.y) + "), where " + a.path +
               " is " + std::to_string(a.width) + "x" + std::to_string(a.height) + " at (" +
               std::to_string(a.x) + ", " + std::to_string(a.y) + "): a sequence's frames share one size";
    }
    return false;
  }
  return true;
}

}  // namespace fm::cli
