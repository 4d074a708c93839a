#include "plugin/RenderSettingsReader.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "plugin/ParamReader.h"
#include "plugin/ParamTable.h"

namespace fm {
namespace {

// Each reader takes the field's current value as the default, so the record's initial values
// are the one statement of the defaults.
void atLeast(const PF_InData* in, int32_t index, double lo, double& field) {
  field = std::max(lo, readParam(in, index, field));
}

void within(const PF_InData* in, int32_t index, double lo, double hi, double& field) {
  field = std::clamp(readParam(in, index, field), lo, hi);
}

void choice(const PF_InData* in, int32_t index, int32_t lo, int32_t hi, int32_t& field) {
  field = int32_t(std::clamp(readParam(in, index, field), double(lo), double(hi)));
}

void flag(const PF_InData* in, int32_t index, bool& field) {
  field = readParam(in, index, field ? 1.0 : 0.0) != 0.0;
}

void number(const PF_InData* in, int32_t index, double& field) {
  field = readParam(in, index, field);
}

// The point is checked out itself: the generic reader gives no number for it.
void readCenter(const PF_InData* in, RenderSettings& s) {
  s.centerX = in->width * 0.5 * s.downsampleX;
  s.centerY = in->height * 0.5 * s.downsampleY;
  if (!in->interact.checkoutParam) return;
  PF_ParamDef def;
  std::memset(&def, 0, sizeof(def));
  if (in->interact.checkoutParam(in->effect, kParamCenter, in->currentTime, in->timeStep,
                                 in->timeScale, &def) != PF_Err_None) {
    return;
  }
  if (def.type == PF_Param_Point) {
    const double x = def.u.point.x / 65536.0, y = def.u.point.y / 65536.0;
    if (std::isfinite(x)) s.centerX = x;
    if (std::isfinite(y)) s.centerY = y;
  }
  if (in->interact.checkinParam) in->interact.checkinParam(in->effect, &def);
}

void readVector(const PF_InData* in, RenderSettings& s) {
  choice(in, kParamVectorType, FM_VEC_NATURAL, FM_VEC_DIR_FADING, s.vectorType);
  number(in, kParamVectorAmount, s.vectorAmount);
  number(in, kParamAngleOffset, s.angleOffset);
  atLeast(in, kParamRidgeSmoothness, 0, s.ridgeSmoothness);
  choice(in, kParamMapProperty, FM_CH_RED, FM_CH_SATURATION, s.mapProperty);
  atLeast(in, kParamMapSoftness, 0, s.mapSoftness);
}

void readGaussian(const PF_InData* in, RenderSettings& s) {
  atLeast(in, kParamBlurriness, 0, s.blurriness);
  choice(in, kParamGaussianDimensions, kBothDimensions, kVerticalOnly, s.gaussianDimensions);
  flag(in, kParamGaussianRepeatEdgePixels, s.gaussianRepeatEdgePixels);
}

void readCameraLens(const PF_InData* in, RenderSettings& s) {
  atLeast(in, kParamBlurRadius, 0, s.blurRadius);
  choice(in, kParamIrisShape, kFirstIrisShape, kLastIrisShape, s.irisShape);
  within(in, kParamIrisRoundness, 0, 100, s.irisRoundness);
  within(in, kParamIrisAspectRatio, 0.01, 100, s.irisAspectRatio);
  number(in, kParamIrisRotation, s.irisRotation);
  within(in, kParamDiffractionFringe, 0, 500, s.diffractionFringe);
  choice(in, kParamBlurMapChannel, kMapLuminance, kMapAlpha, s.blurMapChannel);
  choice(in, kParamBlurMapPlacement, kCenterMap, kStretchMapToFit, s.blurMapPlacement);
  within(in, kParamBlurFocalDistance, 0, 1, s.blurFocalDistance);
  flag(in, kParamInvertBlurMap, s.invertBlurMap);
  atLeast(in, kParamHighlightGain, 0, s.highlightGain);
  within(in, kParamHighlightThreshold, 0, 1, s.highlightThreshold);
  within(in, kParamHighlightSaturation, 0, 100, s.highlightSaturation);
  flag(in, kParamLensRepeatEdgePixels, s.lensRepeatEdgePixels);
  flag(in, kParamUseLinearWorkingSpace, s.useLinearWorkingSpace);
}

void readBox(const PF_InData* in, RenderSettings& s) {
  atLeast(in, kParamBoxBlurRadius, 0, s.boxBlurRadius);
  choice(in, kParamIterations, 1, 50, s.iterations);
  choice(in, kParamBoxDimensions, kBothDimensions, kVerticalOnly, s.boxDimensions);
  flag(in, kParamBoxRepeatEdgePixels, s.boxRepeatEdgePixels);
}

void readRadial(const PF_InData* in, RenderSettings& s) {
  atLeast(in, kParamRadialAmount, 0, s.radialAmount);
  readCenter(in, s);
  choice(in, kParamRadialType, kSpin, kZoom, s.radialType);
  choice(in, kParamAntialiasing, kAntialiasLow, kAntialiasHigh, s.antialiasing);
}

void readMotion(const PF_InData* in, RenderSettings& s) {
  choice(in, kParamMotionBlurType, kDirectionalBlur, kTrackedMotionBlur, s.motionBlurType);
  if (s.motionBlurType == kDirectionalBlur) {
    number(in, kParamDirection, s.direction);
    atLeast(in, kParamBlurLength, 0, s.blurLength);
    return;
  }
  within(in, kParamBlurAmount, 0, 4, s.blurAmount);
  within(in, kParamMotionSensitivity, 0, 100, s.motionSensitivity);
  choice(in, kParamTracking, kTrackBothNeighbours, kTrackNextFrame, s.tracking);
  choice(in, kParamVectorDetail, kDetailFull, kDetailQuarter, s.vectorDetail);
  choice(in, kParamMotionOutput, kOutputMotionBlur, kOutputMotionVectors, s.motionOutput);
  within(in, kParamMaxDisplacement, 1, 4096, s.maxDisplacement);
}

double ratio(const PF_Ratio& r) {
  return r.den == 0 ? 1.0 : double(r.num) / double(r.den);
}

}  // namespace

void readKindSettings(const PF_InData* in, RenderSettings& s) {
  choice(in, kParamBlurType, kVectorBlur, kMotionBlur, s.blurType);
  switch (s.blurType) {
    case kVectorBlur:
      readVector(in, s);
      break;
    case kGaussianBlur:
      readGaussian(in, s);
      break;
    case kCameraLensBlur:
      readCameraLens(in, s);
      break;
    case kBoxBlur:
      readBox(in, s);
      break;
    case kRadialBlur:
      readRadial(in, s);
      break;
    default:
      readMotion(in, s);
      break;
  }
}

void readRenderGeometry(const PF_InData* in, int32_t bitDepth, RenderSettings& s) {
  s.downsampleX = std::max(1e-6, ratio(in->downsampleX));
  s.downsampleY = std::max(1e-6, ratio(in->downsampleY));
  const double aspect = ratio(in->pixelAspectRatio);
  s.pixelAspect = std::max(1e-6, std::isfinite(aspect) ? aspect : 1.0);
  s.lowQuality = in->quality == PF_Quality_Low;
  s.bitDepth = bitDepth;
  s.lowBitDepth = bitDepth < 32;
}

Rect layerRect(int32_t width, int32_t height, const RenderSettings& s) {
  const auto extent = [](int32_t size, double scale) {
    const double v = std::ceil(double(size) * scale - 1e-6);
    return int32_t(std::clamp(v, 1.0, double(kCoordLimit)));
  };
  return Rect{0, 0, extent(width, s.downsampleX), extent(height, s.downsampleY)};
}

}  // namespace fm
