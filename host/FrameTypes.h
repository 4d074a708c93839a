// What a caller asks the headless host to render, and what it learns about the frame.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/EffectInterface.h"

namespace fm::host {

struct FrameRequest {
  int32_t time = 0;  // in units of 1 / timeScale seconds
  int32_t timeStep = 1;
  int32_t localTimeStep = 1;
  uint32_t timeScale = 24;
  int32_t depth = 32;  // bits per channel of every world: 8, 16 or 32
  PF_Ratio downsampleX{1, 1}, downsampleY{1, 1};
  int32_t quality = PF_Quality_High;
  // The output rectangle asked for, at this downsampling; the whole layer when not given.
  std::optional<PF_Rect> request;
};

// A layer checkout the module made at pre-render, with what the host answered.
struct CheckoutRecord {
  int32_t paramIndex = 0;
  int32_t checkoutId = 0;
  int32_t time = 0;
  PF_Rect request{}, result{}, maxResult{};
  int32_t referenceWidth = 0, referenceHeight = 0;
};

struct FrameReport {
  PF_Err err = PF_Err_None;  // the module's or, for the host's own failures, the host's code
  std::string message;       // why the frame failed; empty when it rendered
  PF_Rect resultRect{}, maxResultRect{};
  uint32_t renderFlags = 0;
  std::vector<CheckoutRecord> checkouts;
  std::vector<unsigned char> cacheKey;  // the bytes mixed into the render cache key
  bool onGpu = false;         // sent to the GPU render command
  double renderSeconds = 0;   // in the render command (on a GPU, the frames already there)
  bool ok() const { return message.empty(); }
};

// Caller memory that receives a frame: pixels in the world layout of the frame's depth (see
// Image.h), covering `rect` of the layer at the frame's downsampling.
struct OutputTarget {
  void* data = nullptr;
  int64_t rowBytes = 0;
  PF_Rect rect{};
};

// Told the result rectangle once pre-render has planned the frame, says where it goes. The
// target's pixels outside the result become transparent; when the target holds the whole
// result the module renders straight into it.
using OutputPlacer = std::function<OutputTarget(const PF_Rect& resultRect)>;

}  // namespace fm::host
