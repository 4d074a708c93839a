// One row of a host world to and from engine pixels: the pixel rules of the import and export,
// in the world's format and channel order.
#pragma once

#include <cstdint>

namespace fm {

// Straight colour in `format` to premultiplied float RGBA: alpha clamped to [0, 1] (a
// non-finite alpha is 0), non-finite colour 0. `stream`: the row is part of an image far larger
// than the caches, so its stores may go past them.
void importRow(int32_t format, const unsigned char* src, float* dst, int32_t width, bool stream = false);

// Premultiplied float RGBA to straight colour in `format`, as the export kernel un-premultiplies;
// integer formats are clamped to [0, 1] and rounded. `stream` as for importRow.
void exportRow(int32_t format, const float* src, unsigned char* dst, int32_t width, bool stream = false);

// Straight colour from one format to another, with the import's rules for alpha and colour.
void convertRow(int32_t from, int32_t to, const unsigned char* src, unsigned char* dst,
                int32_t width);

}  // namespace fm
