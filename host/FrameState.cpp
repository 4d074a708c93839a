#include "host/FrameState.h"

#include <algorithm>
#include <cstring>

namespace fm::host {
namespace {

bool isEmpty(const PF_Rect& r) { return r.right <= r.left || r.bottom <= r.top; }

PF_Rect overlap(const PF_Rect& a, const PF_Rect& b) {
  const PF_Rect r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
                  std::min(a.bottom, b.bottom)};
  return isEmpty(r) ? PF_Rect{} : r;
}

bool contains(const PF_Rect& outer, const PF_Rect& inner) {
  return outer.left <= inner.left && outer.top <= inner.top && outer.right >= inner.right &&
         outer.bottom >= inner.bottom;
}

bool isFullScale(const PF_Ratio& r) { return r.num > 0 && uint32_t(r.num) == r.den; }

unsigned char* pixelAt(const OutputTarget& t, int64_t x, int64_t y, int32_t bytes) {
  return static_cast<unsigned char*>(t.data) + (y - t.rect.top) * t.rowBytes +
         (x - t.rect.left) * bytes;
}

// Clears the target's pixels outside `keep`.
void clearOutside(const OutputTarget& t, const PF_Rect& keep, int32_t bytes) {
  for (int64_t y = t.rect.top; y < t.rect.bottom; ++y) {
    unsigned char* row = pixelAt(t, t.rect.left, y, bytes);
    const int64_t width = int64_t(t.rect.right) - t.rect.left;
    if (y < keep.top || y >= keep.bottom || isEmpty(keep)) {
      std::memset(row, 0, size_t(width * bytes));
      continue;
    }
    const int64_t left = std::clamp<int64_t>(int64_t(keep.left) - t.rect.left, 0, width);
    const int64_t right = std::clamp<int64_t>(int64_t(keep.right) - t.rect.left, left, width);
    std::memset(row, 0, size_t(left * bytes));
    std::memset(row + right * bytes, 0, size_t((width - right) * bytes));
  }
}

}  // namespace

PF_Rect FrameState::layerRect(int32_t width, int32_t height) const {
  return PF_Rect{0, 0, scaledSize(width, request_.downsampleX),
                 scaledSize(height, request_.downsampleY)};
}

FrameState::Checkout* FrameState::find(int32_t checkoutId) {
  for (Checkout& c : checkouts_) {
    if (c.record.checkoutId == checkoutId) return &c;
  }
  return nullptr;
}

PF_Err FrameState::checkoutLayer(int32_t paramIndex, int32_t checkoutId, const PF_Rect& request,
                                 int32_t time, uint32_t timeScale, PF_CheckoutResult* result) {
  std::memset(result, 0, sizeof(*result));
  if (paramIndex < 0 || paramIndex >= instance_.params().count() ||
      instance_.params().entry(paramIndex).def.type != PF_Param_Layer) {
    return PF_Err_BadCallbackParam;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (find(checkoutId)) return PF_Err_BadCallbackParam;
  Checkout c;
  c.record.paramIndex = paramIndex;
  c.record.checkoutId = checkoutId;
  c.record.time = time;
  c.record.request = request;
  if (const std::shared_ptr<const Layer> layer = instance_.layerOf(paramIndex)) {
    const LayerInfo& info = layer->info();
    result->referenceWidth = info.width;
    result->referenceHeight = info.height;
    // Times in another scale count only where they fall on one of this frame's time units.
    const int64_t scaled = int64_t(time) * request_.timeScale;
    if (scaled % timeScale == 0) {
      const int64_t t = scaled / int64_t(timeScale);
      if (t >= INT32_MIN && t <= INT32_MAX) c.frame = layer->frameAt(int32_t(t));
    }
    if (c.frame) {
      result->maxResultRect = layerRect(info.width, info.height);
      result->resultRect = overlap(request, result->maxResultRect);
    }
  }
  c.record.result = result->resultRect;
  c.record.maxResult = result->maxResultRect;
  c.record.referenceWidth = result->referenceWidth;
  c.record.referenceHeight = result->referenceHeight;
  records_.push_back(c.record);
  checkouts_.push_back(std::move(c));
  return PF_Err_None;
}

void FrameState::mixCacheKey(const void* bytes, uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto* b = static_cast<const unsigned char*>(bytes);
  cacheKey_.insert(cacheKey_.end(), b, b + count);
}

std::vector<unsigned char> FrameState::cacheKey() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cacheKey_;
}

// The frame at the render's depth and downsampling; a frame already in that form as it is.
std::shared_ptr<const Image> FrameState::pixelsOf(const Checkout& c) const {
  std::shared_ptr<const Image> pixels = c.frame;
  if (!isFullScale(request_.downsampleX) || !isFullScale(request_.downsampleY)) {
    pixels = std::make_shared<const Image>(
        downsampled(*pixels, request_.downsampleX, request_.downsampleY));
  }
  if (pixels->depth() != request_.depth) {
    pixels = std::make_shared<const Image>(converted(*pixels, request_.depth));
  }
  return pixels;
}

// The delivered part of the frame in a world of the render's depth and downsampling.
std::unique_ptr<HostWorld> FrameState::makeWorld(const Checkout& c) const {
  const PF_Rect& r = c.record.result;
  if (!c.frame || isEmpty(r)) return nullptr;
  std::shared_ptr<const Image> pixels = pixelsOf(c);
  const int32_t bytes = pixelBytesOf(request_.depth);
  auto* data = const_cast<unsigned char*>(pixels->row(r.top)) + int64_t(r.left) * bytes;
  return std::make_unique<HostWorld>(data, pixels->rowBytes(), r.right - r.left, r.bottom - r.top,
                                     r.left, r.top, request_.depth, pixelFormatOf(request_.depth),
                                     pixels);
}

// The same pixels uploaded to a device world, as a GPU host delivers them.
PF_Err FrameState::makeDeviceWorld(Checkout& c) {
  const PF_Rect& r = c.record.result;
  if (!c.frame || isEmpty(r)) return PF_Err_None;
  std::string why;
  c.deviceWorld = DeviceWorld::make(*device_, r.right - r.left, r.bottom - r.top, r.left, r.top, &why);
  if (!c.deviceWorld) return PF_Err_OutOfMemory;
  if (!c.deviceWorld->upload(*pixelsOf(c), r.left, r.top)) {
    c.deviceWorld.reset();
    return PF_Err_OutOfMemory;
  }
  return PF_Err_None;
}

PF_Err FrameState::checkoutPixels(int32_t checkoutId, PF_World** world) {
  std::lock_guard<std::mutex> lock(mutex_);
  Checkout* c = find(checkoutId);
  if (!c) return PF_Err_BadCallbackParam;
  if (device_) {
    *world = c->deviceWorld ? c->deviceWorld->world() : nullptr;
  } else {
    if (!c->world) c->world = makeWorld(*c);
    *world = c->world ? c->world->world() : nullptr;
  }
  ++c->held;
  return PF_Err_None;
}

bool FrameState::useDevice(GpuDevice& device, std::string* error) {
  device_ = &device;
  // A GPU host keeps frames on the device already: they are uploaded before the render starts.
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Checkout& c : checkouts_) {
      if (makeDeviceWorld(c) != PF_Err_None) {
        *error = "the GPU device has no memory for the layer frames";
        return false;
      }
    }
  }
  if (!output_) return true;
  const PF_World& w = *output_->world();
  const uint32_t format = instance_.profile().outputPixelFormat;
  deviceOutput_ = DeviceWorld::make(device, w.width, w.height, w.originX, w.originY, error,
                                    format ? format : PF_PixelFormat_GpuBgra128);
  return deviceOutput_ != nullptr;
}

bool FrameState::downloadOutput(std::string* error) {
  if (!deviceOutput_) return true;
  const PF_World& w = *output_->world();
  if (deviceOutput_->download(w.data, w.rowBytes, request_.depth)) return true;
  *error = "the output could not be read back from the GPU device";
  return false;
}

PF_Err FrameState::checkinPixels(int32_t checkoutId) {
  std::lock_guard<std::mutex> lock(mutex_);
  Checkout* c = find(checkoutId);
  if (!c || c->held == 0) return PF_Err_BadCallbackParam;
  --c->held;
  return PF_Err_None;
}

bool FrameState::prepareOutput(const PF_Rect& result, const OutputTarget& target,
                               std::string* error) {
  const int32_t bytes = pixelBytesOf(request_.depth);
  const int64_t targetWidth = int64_t(target.rect.right) - target.rect.left;
  if (!isEmpty(target.rect) && (!target.data || target.rowBytes < targetWidth * bytes)) {
    *error = "the output memory cannot hold " + std::to_string(targetWidth) + " pixels of " +
             std::to_string(request_.depth) + " bits per channel a row";
    return false;
  }
  outputRect_ = result;
  if (isEmpty(result)) {
    if (!isEmpty(target.rect)) clearOutside(target, PF_Rect{}, bytes);
    return true;
  }
  const int32_t width = result.right - result.left, height = result.bottom - result.top;
  const uint32_t format = instance_.profile().outputPixelFormat
                              ? instance_.profile().outputPixelFormat
                              : pixelFormatOf(request_.depth);
  if (contains(target.rect, result) && target.rowBytes <= INT32_MAX) {
    clearOutside(target, result, bytes);
    output_ = std::make_unique<HostWorld>(pixelAt(target, result.left, result.top, bytes),
                                          target.rowBytes, width, height, result.left, result.top,
                                          request_.depth, format, nullptr);
    return true;
  }
  ownOutput_ = std::make_shared<Image>(width, height, request_.depth);
  output_ = std::make_unique<HostWorld>(ownOutput_->row(0), ownOutput_->rowBytes(), width, height,
                                        result.left, result.top, request_.depth, format,
                                        ownOutput_);
  return true;
}

void FrameState::deliverOutput(const OutputTarget& target) const {
  if (!ownOutput_ || isEmpty(target.rect)) return;
  const int32_t bytes = pixelBytesOf(request_.depth);
  const PF_Rect common = overlap(target.rect, outputRect_);
  clearOutside(target, common, bytes);
  for (int64_t y = common.top; y < common.bottom; ++y) {
    const unsigned char* src =
        ownOutput_->row(int32_t(y - outputRect_.top)) + (int64_t(common.left) - outputRect_.left) * bytes;
    std::memcpy(pixelAt(target, common.left, y, bytes), src,
                size_t((int64_t(common.right) - common.left) * bytes));
  }
}

}  // namespace fm::host
