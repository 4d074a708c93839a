#include "cli/SequencePattern.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>

namespace fm::cli {
namespace {

bool isDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

}  // namespace

SequencePattern::SequencePattern(const std::string& path) : text_(path) {
  // Only the file name can hold the frame number, never a folder on the way to it.
  const size_t nameStart = path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1;
  for (size_t i = nameStart; i < path.size(); ++i) {
    const char c = path[i];
    if (c == '#' || c == '@') {
      size_t j = i;
      while (j < path.size() && path[j] == c) ++j;
      padding_ = (c == '#' && j - i == 1) ? 4 : int(j - i);
      prefix_ = path.substr(0, i);
      suffix_ = path.substr(j);
      isSequence_ = true;
      return;
    }
    if (c == '%') {
      size_t j = i + 1;
      bool zero = false;
      if (j < path.size() && path[j] == '0') {
        zero = true;
        ++j;
      }
      const size_t digits = j;
      while (j < path.size() && isDigit(path[j])) ++j;
      if (j < path.size() && path[j] == 'd' && (zero || j == digits)) {
        padding_ = j > digits ? std::atoi(path.substr(digits, j - digits).c_str()) : 0;
        prefix_ = path.substr(0, i);
        suffix_ = path.substr(j + 1);
        isSequence_ = true;
        return;
      }
    }
  }
}

std::string SequencePattern::pathOf(int frame) const {
  if (!isSequence_) return text_;
  std::string digits = std::to_string(frame < 0 ? -(long long)frame : (long long)frame);
  const int width = std::max(0, padding_ - (frame < 0 ? 1 : 0));
  if (int(digits.size()) < width) digits.insert(0, size_t(width) - digits.size(), '0');
  return prefix_ + (frame < 0 ? "-" : "") + digits + suffix_;
}

std::vector<int> SequencePattern::framesOnDisk() const {
  std::vector<int> frames;
  if (!isSequence_) return frames;
  namespace fs = std::filesystem;
  const size_t slash = prefix_.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : prefix_.substr(0, slash + 1);
  const std::string head = slash == std::string::npos ? prefix_ : prefix_.substr(slash + 1);
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= head.size() + suffix_.size() || name.compare(0, head.size(), head) != 0 ||
        name.compare(name.size() - suffix_.size(), suffix_.size(), suffix_) != 0) {
      continue;
    }
    const std::string number = name.substr(head.size(), name.size() - head.size() - suffix_.size());
    const bool negative = number[0] == '-';
    const std::string digits = number.substr(negative ? 1 : 0);
    if (digits.empty() || digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), isDigit)) {
      continue;
    }
    const int frame = std::atoi(number.c_str());
    // Only the spelling pathOf gives: "frame.7.png" is no frame of "frame.####.png".
    if (pathOf(frame) == prefix_ + number + suffix_) frames.push_back(frame);
  }
  std::sort(frames.begin(), frames.end());
  return frames;
}

}  // namespace fm::cli
