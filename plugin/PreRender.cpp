// Plans a frame: the settings record, the pixels to ask the host for and the output rectangle.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "blurs/Footprint.h"
#include "blurs/Render.h"
#include "plugin/Commands.h"
#include "plugin/GpuFailures.h"
#include "plugin/HostRect.h"
#include "plugin/ParamTable.h"
#include "plugin/RenderSettingsReader.h"
#include "plugin/VectorLayer.h"

namespace fm {
namespace {

constexpr int32_t kWholeLayer = 536870912;
constexpr Rect kWholeLayerRect{-kWholeLayer, -kWholeLayer, kWholeLayer, kWholeLayer};

void deleteRecord(void* record) { delete static_cast<RenderSettings*>(record); }

class Planner {
 public:
  Planner(const PF_InData* in, PF_PreRenderExtra* extra, RenderSettings& s)
      : in_(in), extra_(extra), s_(s), scale_{0, 0, 0} {}

  PF_Err plan();

 private:
  PF_Err checkout(int32_t param, int32_t id, const Rect& request, int64_t time,
                  PF_CheckoutResult* result) const;
  void chooseFrameMode();
  PF_Err planTracked(const Rect& request, const Rect& outputRequest, Rect& result,
                     Rect& maxResult);
  PF_Err checkoutNeighbour(int32_t id, const Rect& request, int64_t time, bool& has,
                           Rect& rect) const;
  PF_Err checkoutMapLayer(int32_t param, bool forMatte, const Rect& result);
  void mixCacheKey(bool vectorLayer) const;

  const PF_InData* in_;
  PF_PreRenderExtra* extra_;
  RenderSettings& s_;
  double scale_[3];
  int32_t timeStep_ = 0;
};

PF_Err Planner::checkout(int32_t param, int32_t id, const Rect& request, int64_t time,
                         PF_CheckoutResult* result) const {
  std::memset(result, 0, sizeof(*result));
  PF_RenderRequest req;
  req.rect = toHostRect(request);
  req.channelMask = PF_ChannelMask_All;
  return extra_->callbacks->checkoutLayer(in_->effect, param, id, &req, int32_t(time),
                                          in_->timeStep, in_->timeScale, result);
}

void Planner::chooseFrameMode() {
  if (s_.blurType == kMotionBlur && s_.motionBlurType == kTrackedMotionBlur) {
    const bool moves = s_.motionOutput == kOutputMotionVectors ||
                       (s_.blurAmount > 0 && s_.motionSensitivity > 0);
    s_.frameMode = timeStep_ != 0 && moves ? kFrameTracked : kFrameIdentity;
  } else {
    s_.frameMode = isNegligible(s_, scale_) ? kFrameIdentity : kFrameOrdinary;
  }
}

// A neighbour frame outside the time range the host can address is simply missing.
PF_Err Planner::checkoutNeighbour(int32_t id, const Rect& request, int64_t time, bool& has,
                                  Rect& rect) const {
  if (time < INT32_MIN || time > INT32_MAX) return PF_Err_None;
  PF_CheckoutResult r;
  if (PF_Err err = checkout(kParamInputLayer, id, request, time, &r)) return err;
  rect = normalized(toRect(r.resultRect));
  has = !isEmpty(rect);
  return PF_Err_None;
}

PF_Err Planner::planTracked(const Rect& request, const Rect& outputRequest, Rect& result,
                            Rect& maxResult) {
  const int64_t now = in_->currentTime;
  if (s_.tracking != kTrackNextFrame) {
    if (PF_Err err = checkoutNeighbour(kCheckoutPrevious, request, now - timeStep_, s_.hasPrevFrame,
                                       s_.prevRect)) {
      return err;
    }
  }
  if (s_.tracking != kTrackPreviousFrame) {
    if (PF_Err err =
            checkoutNeighbour(kCheckoutNext, request, now + timeStep_, s_.hasNextFrame,
                              s_.nextRect)) {
      return err;
    }
  }
  if (PF_Err err = checkoutMapLayer(kParamForegroundMatte, true, Rect{})) return err;

  int64_t margin = 0;
  if (s_.motionOutput != kOutputMotionVectors) {
    const double size = double(std::max<int64_t>({width(s_.inputResult), height(s_.inputResult), 0}));
    const double perFrame = std::min(s_.motionSensitivity, 100.0) / 100.0 * 0.25;
    margin = int64_t(std::ceil(std::min(s_.blurAmount, 4.0) * size * perFrame * 0.5)) + 2;
  }
  const int32_t m = limitedReach(margin);
  const Reach reach{m, m, m, m};
  const Rect& B = s_.inputBounds;
  maxResult = capExtent(grow(B, reach), B, scale_);
  result = overlap(overlap(outputRequest, maxResult), grow(s_.inputResult, reach));
  return PF_Err_None;
}

// A map (or matte) layer: a first checkout of nothing tells its size, the second asks for the
// pixels the render reads. No layer, or one of unknown size, is no map.
PF_Err Planner::checkoutMapLayer(int32_t param, bool forMatte, const Rect& result) {
  PF_CheckoutResult sized;
  if (PF_Err err = checkout(param, kCheckoutMapSize, Rect{}, in_->currentTime, &sized)) return err;
  const Rect sizedResult = normalized(toRect(sized.resultRect));
  s_.mapBounds = sized.referenceWidth > 0 && sized.referenceHeight > 0
                     ? layerRect(sized.referenceWidth, sized.referenceHeight, s_)
                     : sizedResult;
  if (isEmpty(s_.mapBounds)) {
    s_.mapBounds = Rect{};
    return PF_Err_None;
  }
  // The matte is read where the current frame lies, in the same coordinates.
  Rect request = forMatte ? overlap(s_.inputResult, s_.mapBounds)
                          : mapRequest(s_, scale_, result, s_.inputBounds, s_.layerBounds,
                                       s_.mapBounds);
  if (!isEmpty(sizedResult)) request = overlap(request, sizedResult);
  PF_CheckoutResult pixels;
  if (PF_Err err = checkout(param, kCheckoutMap, request, in_->currentTime, &pixels)) return err;
  s_.hasMap = true;
  s_.mapResult = normalized(toRect(pixels.resultRect));
  return PF_Err_None;
}

void Planner::mixCacheKey(bool vectorLayer) const {
  if (!extra_->callbacks->mixInCacheKey) return;
  const bool tracked = s_.frameMode == kFrameTracked;
  const int32_t words[6] = {0,
                            s_.frameMode,
                            vectorLayer ? 1 : 0,
                            s_.blurType == kGaussianBlur && s_.lowBitDepth ? 1 : 0,
                            tracked ? timeStep_ : 0,
                            (s_.hasPrevFrame ? 1 : 0) | (s_.hasNextFrame ? 2 : 0)};
  unsigned char key[sizeof(words)];
  std::memcpy(key, words, sizeof(words));
  std::memcpy(key, "FGML", 4);
  extra_->callbacks->mixInCacheKey(in_->effect, sizeof(key), key);
}

PF_Err Planner::plan() {
  readRenderGeometry(in_, extra_->input->bitDepth, s_);
  readKindSettings(in_, s_);
  scale_[0] = s_.downsampleX;
  scale_[1] = s_.downsampleY;
  scale_[2] = s_.pixelAspect;
  timeStep_ = in_->timeStep != 0 ? in_->timeStep : in_->localTimeStep;
  const bool vectorLayer = isVectorLayer(in_);
  Rect layer = layerRect(in_->width, in_->height, s_);
  const Rect outputRequest = toRect(extra_->input->outputRequest.rect);

  chooseFrameMode();
  Rect request = s_.frameMode == kFrameTracked ? kWholeLayerRect
                 : s_.frameMode == kFrameIdentity
                     ? outputRequest
                     : inputRequest(s_, scale_, outputRequest, kWholeLayerRect);
  if (vectorLayer) request = overlap(request, layer);

  PF_CheckoutResult input;
  if (PF_Err err = checkout(kParamInputLayer, kCheckoutInput, request, in_->currentTime, &input)) {
    return err;
  }
  if (input.referenceWidth > 0 && input.referenceHeight > 0) {
    layer = layerRect(input.referenceWidth, input.referenceHeight, s_);
  }
  s_.inputBounds = vectorLayer ? layer : toRect(input.maxResultRect);
  s_.inputResult = toRect(input.resultRect);
  s_.layerBounds = layer;
  const Rect& B = s_.inputBounds;

  Rect result, maxResult;
  if (s_.frameMode == kFrameIdentity) {
    maxResult = capExtent(B, B, scale_);
    result = overlap(overlap(outputRequest, maxResult), s_.inputResult);
  } else if (s_.frameMode == kFrameTracked) {
    if (PF_Err err = planTracked(request, outputRequest, result, maxResult)) return err;
  } else {
    maxResult = outputExtent(s_, scale_, B);
    result = overlap(outputRequest, resultRect(s_, scale_, overlap(s_.inputResult, B), B));
    if (s_.blurType == kVectorBlur || s_.blurType == kCameraLensBlur) {
      const int32_t param = s_.blurType == kVectorBlur ? kParamVectorMap : kParamBlurMapLayer;
      if (PF_Err err = checkoutMapLayer(param, false, result)) return err;
      if (s_.blurType == kCameraLensBlur) s_.hasBlurMap = s_.hasMap;
    }
  }
  mixCacheKey(vectorLayer);

  s_.resultRect = normalized(result);
  s_.maxResultRect = normalized(maxResult);
  PF_PreRenderOutput& out = *extra_->output;
  out.resultRect = toHostRect(s_.resultRect);
  out.maxResultRect = toHostRect(s_.maxResultRect);
  out.solid = 0;
  // The GPU is offered only where device setup left a record and no switch-off is running.
  const PF_PreRenderInput& host = *extra_->input;
  const bool gpu = host.gpuFramework != PF_GpuFramework_None && host.gpuData && gpuOffElapsed();
  out.renderFlags = gpu ? PF_RenderOutputFlag_GpuRenderPossible : 0u;
  return PF_Err_None;
}

}  // namespace

PF_Err preRender(const PF_InData* in, PF_PreRenderExtra* extra) {
  if (!in || !extra || !extra->input || !extra->output || !extra->callbacks ||
      !extra->callbacks->checkoutLayer) {
    return PF_Err_BadCallbackParam;
  }
  std::unique_ptr<RenderSettings> record(new (std::nothrow) RenderSettings());
  if (!record) return PF_Err_OutOfMemory;
  if (PF_Err err = Planner(in, extra, *record).plan()) return err;
  extra->output->preRenderData = record.release();
  extra->output->deletePreRenderData = deleteRecord;
  return PF_Err_None;
}

}  // namespace fm
