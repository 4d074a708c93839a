// The effect's parameters: their places in the host's parameter array, how each is declared,
// and which blur kind's controls each belongs to.
#pragma once

#include <cstdint>

#include "engine/Choices.h"
#include "host/EffectInterface.h"

namespace fm {

enum ParamIndex : int32_t {
  kParamInputLayer = 0,  // the layer the effect is applied to; the host declares it
  kParamBlurType,
  // Vector Blur
  kParamVectorType,
  kParamVectorAmount,
  kParamAngleOffset,
  kParamRidgeSmoothness,
  kParamVectorMap,
  kParamMapProperty,
  kParamMapSoftness,
  // Gaussian Blur
  kParamBlurriness,
  kParamGaussianDimensions,
  kParamGaussianRepeatEdgePixels,
  // Camera Lens Blur
  kParamBlurRadius,
  kParamIrisGroup,
  kParamIrisShape,
  kParamIrisRoundness,
  kParamIrisAspectRatio,
  kParamIrisRotation,
  kParamDiffractionFringe,
  kParamIrisGroupEnd,
  kParamBlurMapGroup,
  kParamBlurMapLayer,
  kParamBlurMapChannel,
  kParamBlurMapPlacement,
  kParamBlurFocalDistance,
  kParamInvertBlurMap,
  kParamBlurMapGroupEnd,
  kParamHighlightGroup,
  kParamHighlightGain,
  kParamHighlightThreshold,
  kParamHighlightSaturation,
  kParamHighlightGroupEnd,
  kParamLensRepeatEdgePixels,
  kParamUseLinearWorkingSpace,
  // Box Blur
  kParamBoxBlurRadius,
  kParamIterations,
  kParamBoxDimensions,
  kParamBoxRepeatEdgePixels,
  // Radial Blur
  kParamRadialAmount,
  kParamCenter,
  kParamRadialType,
  kParamAntialiasing,
  // Motion Blur: both sub-kinds, directional, tracked
  kParamMotionBlurType,
  kParamDirection,
  kParamBlurLength,
  kParamBlurAmount,
  kParamMotionSensitivity,
  kParamTracking,
  kParamVectorDetail,
  kParamForegroundMatte,
  kParamMotionOutput,
  kParamMaxDisplacement,
  kParamCount
};

// Which controls a parameter belongs to: a "Blur Type" (0: every kind), for Motion Blur a
// "Motion Blur Type" (0: either), and whether only the motion-vector output shows it.
struct ParamOwner {
  int32_t kind;
  int32_t motionBlurType;
  bool onlyWithVectorsOutput;
};

// One parameter's declaration. text holds a popup's choices or a check box's label; a point's
// default is (defaultValue, defaultY), in percent of the layer's size.
struct ParamRow {
  int32_t type;
  int32_t id;
  const char* name;
  uint32_t flags;
  double validMin, validMax, sliderMin, sliderMax;
  double defaultValue, defaultY;
  int16_t precision;
  uint16_t displayFlags;
  const char* text;
  ParamOwner owner;
};

// The row of index 0 to kParamCount - 1.
const ParamRow& paramRow(int32_t index);

// The host's definition record for a row, holding its default value.
PF_ParamDef makeParamDef(const ParamRow& row);

}  // namespace fm
