// A tiny bitmap font for labels on generated images: 5 x 7 glyphs for capital letters, digits
// and a little punctuation; lower-case letters are drawn as capitals.
#pragma once

#include <string>

#include "host/Image.h"

namespace fm::cli {

// The width of text drawn at a scale (each glyph cell 6 x 8 pixels before scaling).
int textWidth(const std::string& text, int scale);
inline int textHeight(int scale) { return 7 * scale; }

// Draws text with its top-left corner at (x, y), clipped to the image; characters without a
// glyph show as '?'.
void drawText(host::Image* image, int x, int y, const std::string& text, int scale,
              const float rgba[4]);

}  // namespace fm::cli
