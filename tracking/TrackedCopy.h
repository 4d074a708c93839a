// The trivial results of the tracked path: the current frame copied into the output unchanged
// (no visible motion), and a transparent output (no current frame).
#pragma once

#include <string>

#include "engine/Backend.h"

namespace fm {

// Offset from one rectangle's origin to another's, kept far inside the int range so that a
// kernel adding a pixel position to it cannot overflow.
int originOffset(int32_t to, int32_t from);

// fm_copy of `current` (placed at `currentRect`) into `out` (placed at `outRect`), transparent
// outside the frame, over the output buffer's size. False with "copy" when the launch fails.
bool copyCurrentFrame(Backend& be, const Buffer& current, const Rect& currentRect, Buffer& out, const Rect& outRect,
                      std::string* message);

// fm_clear over the output buffer. False with "clear" when the launch fails.
bool clearOutput(Backend& be, Buffer& out, std::string* message);

// Puts one word into an optional message slot; a slot that cannot take it stays as it was.
void setMessage(std::string* message, const char* word) noexcept;

}  // namespace fm
