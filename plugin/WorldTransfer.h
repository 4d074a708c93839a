// Host worlds into engine images and back, in bands of rows on a parallel-for: straight colour
// in the world's format and channel order on one side, premultiplied float RGBA on the other.
#pragma once

#include "engine/Backend.h"
#include "plugin/HostWorld.h"

namespace fm {

// Rows per band for a world of rows x width pixels shared among `jobs`.
int bandRows(int64_t rows, int64_t width, int jobs);

// The world into `image`, an engine image at least the world's size: straight colour becomes
// premultiplied, alpha is clamped to [0, 1], non-finite values become 0. Columns of the image
// beyond the world are cleared. False when the run was stopped.
bool importWorld(Parallel& par, const WorldView& world, const Buffer& image);

// `image` (premultiplied, at least the world's size) into the world: un-premultiplied as the
// export kernel does, then clamped and rounded for the integer formats.
bool exportWorld(Parallel& par, const Buffer& image, const WorldView& world);

// The identity: `to` takes `from`'s pixels where the two rectangles overlap, transparent
// elsewhere (everywhere when `from` has no pixels). Bytes are copied when the formats agree,
// otherwise each pixel is converted.
bool copyWorld(Parallel& par, const WorldView& from, const WorldView& to);

}  // namespace fm
