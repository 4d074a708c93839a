// File names with a frame number in them. A run of '#' or '@' stands for the number padded to
// that many digits, except a lone '#', which pads to four (as oiiotool reads it); "%04d" and
// "%d" are printf's spelling. A name without any of these is one file.
#pragma once

#include <string>
#include <vector>

namespace fm::cli {

class SequencePattern {
 public:
  SequencePattern() = default;
  explicit SequencePattern(const std::string& path);

  bool isSequence() const { return isSequence_; }
  const std::string& text() const { return text_; }

  // The file of a frame; the pattern itself when it is no sequence.
  std::string pathOf(int frame) const;

  // The frames whose files exist in the pattern's folder, ascending. Numbers with more digits
  // than the padding count, fewer do not.
  std::vector<int> framesOnDisk() const;

 private:
  std::string text_, prefix_, suffix_;
  int padding_ = 0;
  bool isSequence_ = false;
};

}  // namespace fm::cli
