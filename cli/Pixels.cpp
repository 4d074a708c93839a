#include "cli/Pixels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace fm::cli {
namespace {

int channelNamed(const OIIO::ImageSpec& spec, const char* upper, const char* lower) {
  for (int c = 0; c < spec.nchannels; ++c) {
    const std::string& n = spec.channelnames[size_t(c)];
    if (n == upper || n == lower) return c;
  }
  return -1;
}

float unit(float v) { return std::isfinite(v) ? std::clamp(v, 0.0f, 1.0f) : 0.0f; }

template <class T>
void storeArgb(unsigned char* p, const T argb[4]) {
  std::memcpy(p, argb, 4 * sizeof(T));
}

}  // namespace

ChannelMap channelMapOf(const OIIO::ImageSpec& spec) {
  ChannelMap m;
  m.count = spec.nchannels;
  m.a = spec.alpha_channel >= 0 ? spec.alpha_channel : channelNamed(spec, "A", "a");
  m.r = channelNamed(spec, "R", "r");
  m.g = channelNamed(spec, "G", "g");
  m.b = channelNamed(spec, "B", "b");
  if (m.r >= 0 && m.g >= 0 && m.b >= 0) return m;
  // Unnamed colour: the first channels that are not alpha, one of them meaning grey.
  int colour[3], found = 0;
  for (int c = 0; c < spec.nchannels && found < 3; ++c) {
    if (c != m.a) colour[found++] = c;
  }
  if (found == 0) {
    m.r = m.g = m.b = m.a;
  } else if (found < 3) {
    m.r = m.g = m.b = colour[0];
  } else {
    m.r = colour[0];
    m.g = colour[1];
    m.b = colour[2];
  }
  return m;
}

void toWorld(const void* pixels, OIIO::TypeDesc type, const ChannelMap& map, bool unpremultiply,
             host::Image* world) {
  const int width = world->width(), depth = world->depth();
  const int n = map.count;
  for (int y = 0; y < world->height(); ++y) {
    unsigned char* out = world->row(y);
    if (type == OIIO::TypeDesc::UINT8) {
      const uint8_t* in = static_cast<const uint8_t*>(pixels) + size_t(y) * width * n;
      for (int x = 0; x < width; ++x, in += n, out += 4) {
        const uint8_t argb[4] = {map.a >= 0 ? in[map.a] : uint8_t(255), in[map.r], in[map.g], in[map.b]};
        storeArgb(out, argb);
      }
    } else if (type == OIIO::TypeDesc::UINT16) {
      const uint16_t* in = static_cast<const uint16_t*>(pixels) + size_t(y) * width * n;
      for (int x = 0; x < width; ++x, in += n, out += 8) {
        const uint16_t argb[4] = {map.a >= 0 ? worldFrom16(in[map.a]) : uint16_t(32768),
                                  worldFrom16(in[map.r]), worldFrom16(in[map.g]),
                                  worldFrom16(in[map.b])};
        storeArgb(out, argb);
      }
    } else {
      const float* in = static_cast<const float*>(pixels) + size_t(y) * width * n;
      for (int x = 0; x < width; ++x, in += n) {
        float a = map.a >= 0 ? in[map.a] : 1.0f;
        if (!std::isfinite(a)) a = 0;
        float rgb[3] = {in[map.r], in[map.g], in[map.b]};
        if (unpremultiply) {
          for (float& c : rgb) c = a > 0 ? c / a : 0.0f;
        }
        if (depth == 32) {
          const float argb[4] = {a, rgb[0], rgb[1], rgb[2]};
          storeArgb(out, argb);
          out += 16;
        } else if (depth == 16) {
          uint16_t argb[4] = {uint16_t(unit(a) * 32768.0f + 0.5f), 0, 0, 0};
          for (int c = 0; c < 3; ++c) argb[c + 1] = uint16_t(unit(rgb[c]) * 32768.0f + 0.5f);
          storeArgb(out, argb);
          out += 8;
        } else {
          uint8_t argb[4] = {uint8_t(unit(a) * 255.0f + 0.5f), 0, 0, 0};
          for (int c = 0; c < 3; ++c) argb[c + 1] = uint8_t(unit(rgb[c]) * 255.0f + 0.5f);
          storeArgb(out, argb);
          out += 4;
        }
      }
    }
  }
}

void fromWorld(const host::Image& world, int channels, bool premultiply, OIIO::TypeDesc type,
               void* pixels) {
  const int width = world.width(), depth = world.depth();
  for (int y = 0; y < world.height(); ++y) {
    const unsigned char* in = world.row(y);
    if (type == OIIO::TypeDesc::UINT8) {
      uint8_t* out = static_cast<uint8_t*>(pixels) + size_t(y) * width * channels;
      for (int x = 0; x < width; ++x, in += 4, out += channels) {
        for (int c = 0; c < 3; ++c) out[c] = in[c + 1];
        if (channels == 4) out[3] = in[0];
      }
    } else if (type == OIIO::TypeDesc::UINT16) {
      uint16_t* out = static_cast<uint16_t*>(pixels) + size_t(y) * width * channels;
      for (int x = 0; x < width; ++x, in += 8, out += channels) {
        uint16_t argb[4];
        std::memcpy(argb, in, sizeof(argb));
        for (int c = 0; c < 3; ++c) out[c] = fileFrom16(argb[c + 1]);
        if (channels == 4) out[3] = fileFrom16(argb[0]);
      }
    } else {
      float* out = static_cast<float*>(pixels) + size_t(y) * width * channels;
      const float scale = depth == 8 ? 1.0f / 255.0f : depth == 16 ? 1.0f / 32768.0f : 1.0f;
      for (int x = 0; x < width; ++x, out += channels) {
        float argb[4];
        if (depth == 8) {
          for (int c = 0; c < 4; ++c) argb[c] = in[c] * scale;
          in += 4;
        } else if (depth == 16) {
          uint16_t v[4];
          std::memcpy(v, in, sizeof(v));
          for (int c = 0; c < 4; ++c) argb[c] = v[c] * scale;
          in += 8;
        } else {
          std::memcpy(argb, in, sizeof(argb));
          in += 16;
        }
        const float a = premultiply ? argb[0] : 1.0f;
        for (int c = 0; c < 3; ++c) out[c] = argb[c + 1] * a;
        if (channels == 4) out[3] = argb[0];
      }
    }
  }
}

}  // namespace fm::cli
