#include "cli/FrameList.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace fm::cli {
namespace {

constexpr long long kMostFrames = 10000000;

// A whole number at text[pos], optionally negative; advances pos past it.
bool readInt(const std::string& text, size_t& pos, long long* value) {
  const size_t start = pos;
  if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) ++pos;
  const size_t digits = pos;
  while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) ++pos;
  if (pos == digits || pos - digits > 9) {
    pos = start;
    return false;
  }
  *value = std::strtoll(text.substr(start, pos - start).c_str(), nullptr, 10);
  return true;
}

}  // namespace

bool parseFrameList(const std::string& text, std::vector<int>* frames, std::string* error) {
  frames->clear();
  const auto fail = [&](const std::string& why) {
    if (error) {
      *error = "frames \"" + text + "\": " + why +
               " (write them as 7, 1-100, 1-100x2 or 1,5,10-20)";
    }
    return false;
  };
  if (text.empty()) return fail("no frames");
  size_t pos = 0;
  while (true) {
    long long first = 0, last = 0, step = 1;
    if (!readInt(text, pos, &first)) return fail("expected a frame number at \"" + text.substr(pos) + "\"");
    last = first;
    if (pos < text.size() && text[pos] == '-') {
      ++pos;
      if (!readInt(text, pos, &last)) return fail("a range needs its last frame");
      if (pos < text.size() && (text[pos] == 'x' || text[pos] == 'X')) {
        ++pos;
        if (!readInt(text, pos, &step) || step < 1) return fail("a step is a whole number from 1");
      }
    }
    const long long count = (first <= last ? last - first : first - last) / step + 1;
    if (int64_t(frames->size()) + count > kMostFrames) return fail("more than ten million frames");
    for (long long i = 0; i < count; ++i) {
      frames->push_back(int(first <= last ? first + i * step : first - i * step));
    }
    if (pos == text.size()) return true;
    if (text[pos] != ',') return fail("unexpected \"" + text.substr(pos) + "\"");
    ++pos;
  }
}

std::string describeFrames(const std::vector<int>& frames) {
  if (frames.empty()) return "no frames";
  std::string text;
  for (size_t i = 0; i < frames.size();) {
    if (!text.empty()) text += ",";
    const long long step = i + 1 < frames.size() ? (long long)frames[i + 1] - frames[i] : 0;
    size_t j = i;
    while (step >= 1 && j + 1 < frames.size() && (long long)frames[j + 1] - frames[j] == step) ++j;
    // A run of two is a range only when it steps by one: "4,9" reads better than "4-9x5".
    if (j > i && (step == 1 || j >= i + 2)) {
      text += std::to_string(frames[i]) + "-" + std::to_string(frames[j]);
      if (step > 1) text += "x" + std::to_string(step);
      i = j + 1;
    } else {
      text += std::to_string(frames[i]);
      ++i;
    }
  }
  return text;
}

}  // namespace fm::cli
