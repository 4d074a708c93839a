// Rendering through the module in a headless host next to the engine called directly: test
// frames, the engine's render of the same pixels with the same settings, and comparisons.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "blurs/MapImage.h"
#include "engine/Rect.h"
#include "engine/RenderSettings.h"
#include "host/HeadlessHost.h"
#include "host/Image.h"
#include "tracking/TrackedMotion.h"

namespace fm::test {

// Straight colour with alpha that runs from transparent to opaque, plus texture, at a depth.
host::Image testFrame(int32_t width, int32_t height, int32_t depth, uint32_t seed);
// A frame of one colour.
host::Image solidFrame(int32_t width, int32_t height, int32_t depth, const float rgba[4]);
// A textured square moving by (dx, dy) per time unit over a still textured background, at time t.
host::Image movingSquareFrame(int32_t width, int32_t height, int32_t depth, int32_t t, int32_t dx,
                              int32_t dy);

// The part `r` of an image placed at `placed`.
host::Image crop(const host::Image& image, const Rect& placed, const Rect& r);

inline Rect toRect(const PF_Rect& r) { return Rect{r.left, r.top, r.right, r.bottom}; }

// Parameters as a user sets them, by panel name and text.
using ParamTexts = std::vector<std::pair<std::string, std::string>>;
void setParams(host::HeadlessHost& host, const ParamTexts& params);

// The settings the module should build for a frame of `depth` at a downsampling, with the
// layer's rectangle as input bounds and layer bounds; the kind's fields are the caller's.
RenderSettings frameSettings(int32_t depth, double downsampleX, double downsampleY,
                             double pixelAspect, const Rect& layer);

// An image the engine reads: host pixels placed in layer coordinates.
struct PlacedFrame {
  const host::Image* image = nullptr;
  Rect rect;
};

// The engine's renders on its own CPU backend, imported and exported with the engine's own
// transfer kernels, into an image of the given depth covering outRect.
host::Image engineRender(const RenderSettings& s, const PlacedFrame& input, const PlacedFrame* map,
                         const Rect& mapBounds, const Rect& outRect, int32_t depth);
host::Image engineTracked(const RenderSettings& s, const PlacedFrame& current,
                          const PlacedFrame* previous, const PlacedFrame* next,
                          const PlacedFrame* matte, const Rect& outRect, int32_t depth);

// The first pixel where two images differ by more than `tolerance`: code values in 8 and 16
// bits, the value itself in floats, where 0 asks for the same bits; "" when they agree.
std::string difference(const host::Image& a, const host::Image& b, double tolerance = 0);

// The module in a headless host with a frame source on the layer the effect sits on.
std::unique_ptr<host::HeadlessHost> hostWithLayer(std::shared_ptr<const host::Layer> layer,
                                                  host::HostProfile profile = {});

// A frame rendered through the module into an image of its result rectangle.
struct Rendered {
  host::FrameReport report;
  host::Image image;
};
Rendered renderThroughModule(host::HeadlessHost& host, const host::FrameRequest& request);

// The checkouts of one id in a report.
std::vector<host::CheckoutRecord> checkoutsWithId(const host::FrameReport& report, int32_t id);

}  // namespace fm::test
