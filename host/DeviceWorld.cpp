#include "host/DeviceWorld.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace fm::host {
namespace {

// Rows padded beyond the width, so that a module that confuses the two is caught.
constexpr int32_t kPitchGranularity = 16;

struct alignas(16) Bgra {
  float v[4];
};

// As the module reads a host world: integer channels times the reciprocal of their full value,
// 16-bit alpha at most 1.
void straight(const Image& image, int32_t x, int32_t y, Bgra& out) {
  const unsigned char* p = image.row(y) + int64_t(x) * pixelBytesOf(image.depth());
  float argb[4];
  if (image.depth() == 8) {
    for (int c = 0; c < 4; ++c) argb[c] = p[c] * (1.0f / 255.0f);
  } else if (image.depth() == 16) {
    uint16_t v[4];
    std::memcpy(v, p, sizeof(v));
    for (int c = 0; c < 4; ++c) argb[c] = v[c] * (1.0f / 32768.0f);
    argb[0] = std::min(argb[0], 1.0f);
  } else {
    std::memcpy(argb, p, sizeof(argb));
  }
  out = Bgra{{argb[3], argb[2], argb[1], argb[0]}};
}

// As an integer world is written: clamped, scaled, rounded half up.
unsigned quantized(float v, float full) { return unsigned(std::clamp(v, 0.0f, 1.0f) * full + 0.5f); }

}  // namespace

std::unique_ptr<DeviceWorld> DeviceWorld::make(GpuDevice& device, int32_t width, int32_t height,
                                               int32_t originX, int32_t originY, std::string* why,
                                               uint32_t pixelFormat) {
  const int32_t pitch = (width + kPitchGranularity - 1) / kPitchGranularity * kPitchGranularity;
  const uint64_t bytes = uint64_t(pitch) * uint64_t(height) * 16;
  void* memory = nullptr;
  if (width < 1 || height < 1 || int64_t(pitch) * 16 > INT32_MAX || !device.allocate(bytes, &memory)) {
    *why = "the GPU device has no memory for a world of " + std::to_string(width) + " x " +
           std::to_string(height) + " pixels";
    return nullptr;
  }
  std::unique_ptr<DeviceWorld> w(new DeviceWorld(device, memory, pitch));
  w->world_ = std::make_unique<HostWorld>(nullptr, int64_t(pitch) * 16, width, height, originX, originY, 32,
                                          pixelFormat, nullptr);
  w->world_->setDeviceMemory(memory);
  return w;
}

DeviceWorld::~DeviceWorld() {
  world_.reset();
  device_.release(memory_);
}

bool DeviceWorld::upload(const Image& image, int32_t x, int32_t y) {
  const PF_World& w = *world_->world();
  std::vector<Bgra> pixels(size_t(pitch_) * size_t(w.height), Bgra{});
  for (int32_t row = 0; row < w.height; ++row) {
    for (int32_t col = 0; col < w.width; ++col) straight(image, x + col, y + row, pixels[size_t(row) * pitch_ + col]);
  }
  return device_.upload(memory_, pixels.data(), pixels.size() * sizeof(Bgra));
}

bool DeviceWorld::download(void* data, int64_t rowBytes, int32_t depth) const {
  const PF_World& w = *world_->world();
  std::vector<Bgra> pixels(size_t(pitch_) * size_t(w.height));
  if (!device_.download(pixels.data(), memory_, pixels.size() * sizeof(Bgra))) return false;
  const int32_t bytes = pixelBytesOf(depth);
  for (int32_t row = 0; row < w.height; ++row) {
    unsigned char* out = static_cast<unsigned char*>(data) + row * rowBytes;
    for (int32_t col = 0; col < w.width; ++col, out += bytes) {
      const float* b = pixels[size_t(row) * pitch_ + col].v;
      const float argb[4] = {b[3], b[2], b[1], b[0]};
      if (depth == 32) {
        std::memcpy(out, argb, sizeof(argb));
      } else if (depth == 16) {
        uint16_t v[4];
        for (int c = 0; c < 4; ++c) v[c] = uint16_t(quantized(argb[c], 32768.0f));
        std::memcpy(out, v, sizeof(v));
      } else {
        for (int c = 0; c < 4; ++c) out[c] = static_cast<unsigned char>(quantized(argb[c], 255.0f));
      }
    }
  }
  return true;
}

}  // namespace fm::host
