// An input named on the command line: one image, an image sequence or a movie, as frames by
// number. A still is the same image at every frame; a movie's frames count from 1.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli/ImageFile.h"
#include "cli/SequencePattern.h"
#include "host/Image.h"

namespace fm::cli {

class Clip {
 public:
  // Reads the header of the first frame; false with the reason when there is nothing to read.
  static std::unique_ptr<Clip> open(const std::string& name, std::string* error);

  const std::string& name() const { return name_; }
  const FileInfo& info() const { return first_->info(); }
  bool isStill() const { return !pattern_.isSequence() && !info().movie; }

  // The frames it has: a sequence's files on disk, a movie's 1..n; a still has every frame and
  // lists frame 1.
  const std::vector<int>& frames() const { return frames_; }
  bool has(int frame) const;
  // Where a frame comes from, for messages: a file name, or a movie and its frame.
  std::string sourceOf(int frame) const;
  // Why a frame it does not have is missing.
  std::string missing(int frame) const;

  // A frame at a depth (see ImageFile::read) and its file's header; a sequence's frames must
  // match the first's size.
  bool read(int frame, int depth, host::Image* image, OIIO::ImageSpec* header,
            std::string* error) const;

 private:
  std::string name_;
  SequencePattern pattern_;
  std::unique_ptr<ImageFile> first_;  // a movie's or a still's only file
  std::vector<int> frames_;
};

}  // namespace fm::cli
