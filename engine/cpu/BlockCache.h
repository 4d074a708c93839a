// Blocks released by CPU images and tables (a quarter MiB and more), kept a short while for
// the next images of about the same size. Every frame of a sequence needs the same frame-sized
// images, pyramids and flow fields again; giving their pages back to the system between frames
// makes it fault in and zero every page again, which costs more than a full pass over the image.
#pragma once

#include <cstddef>

namespace fm {

// A cached block of at least `bytes` (and not wastefully larger), or null. The block goes
// back through offerCachedBlock with the same `bytes`, even when the caller then frees it.
void* takeCachedBlock(size_t bytes);

// Keeps a block of `bytes` for reuse; false when the cache declines it (the caller frees it).
// A block lent for `bytes` is kept at its own, larger size.
bool offerCachedBlock(void* block, size_t bytes);

// Frees every cached block.
void releaseCachedBlocks();

}  // namespace fm
