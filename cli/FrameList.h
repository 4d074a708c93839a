// Frame numbers as users write them: "7", "1-100", "1-100x2", "1,5,10-20", "10-1" (backwards).
#pragma once

#include <string>
#include <vector>

namespace fm::cli {

// The frames in the order given; false with the reason for malformed text, a step below 1, or
// a list of more than ten million frames.
bool parseFrameList(const std::string& text, std::vector<int>* frames, std::string* error);

// "1-100", "1-99x2" or "1,5,10-20": the shortest of these spellings for frames.
std::string describeFrames(const std::vector<int>& frames);

}  // namespace fm::cli
