// Pixels between a file's interleaved channels and the host's worlds (A, R, G, B; straight
// colour; 8-bit 0..255, 16-bit 0..32768 or float). The 16-bit mapping rounds both ways, so
// 0 and 65535 stay where they are and a round trip moves no value by more than one.
#pragma once

#include <OpenImageIO/imageio.h>

#include <cstdint>

#include "host/Image.h"

namespace fm::cli {

inline uint16_t worldFrom16(uint16_t v) { return uint16_t((uint32_t(v) * 65536u + 65535u) / 131070u); }
inline uint16_t fileFrom16(uint16_t v) {
  const uint32_t h = v > 32768 ? 32768u : v;
  return uint16_t((h * 131070u + 32768u) >> 16);
}

// The file channels that hold red, green, blue and alpha (-1: none); a grey file names its one
// channel for all three colours.
struct ChannelMap {
  int count = 0;
  int r = -1, g = -1, b = -1, a = -1;
};
ChannelMap channelMapOf(const OIIO::ImageSpec& spec);

// Interleaved file pixels of type UINT8, UINT16 or FLOAT into a world of the image's depth and
// size. Integer types must match the depth (8 or 16 bits); unpremultiply divides colour by
// alpha first (float only).
void toWorld(const void* pixels, OIIO::TypeDesc type, const ChannelMap& map, bool unpremultiply,
             host::Image* world);

// A world into interleaved RGB or RGBA of type UINT8, UINT16 or FLOAT; integer types must
// match the world's depth and then exclude premultiply.
void fromWorld(const host::Image& world, int channels, bool premultiply, OIIO::TypeDesc type,
               void* pixels);

}  // namespace fm::cli
