// The flat per-frame record that pre-render fills and the engine reads. Initial values
// are the parameters' defaults, so a kind reads sensible values for any field not set.
#pragma once

#include <cstdint>

#include "engine/Choices.h"
#include "engine/Rect.h"
#include "kernels/FMKernelTypes.h"

struct RenderSettings {
  int32_t blurType = fm::kVectorBlur;

  // Vector Blur
  int32_t vectorType = FM_VEC_NATURAL;
  double vectorAmount = 0.0;
  double angleOffset = 0.0;
  double ridgeSmoothness = 1.0;
  int32_t mapProperty = FM_CH_LIGHTNESS;
  double mapSoftness = 15.0;

  // Gaussian Blur
  double blurriness = 0.0;
  int32_t gaussianDimensions = fm::kBothDimensions;
  bool gaussianRepeatEdgePixels = true;
  bool lowBitDepth = false;

  // Camera Lens Blur
  double blurRadius = 5.0;
  bool hasBlurMap = false;
  int32_t irisShape = 4;  // Hexagon
  double irisRoundness = 0.0;
  double irisAspectRatio = 1.0;
  double irisRotation = 0.0;
  double diffractionFringe = 100.0;
  int32_t blurMapChannel = fm::kMapLuminance;
  int32_t blurMapPlacement = fm::kCenterMap;
  double blurFocalDistance = 0.0;
  bool invertBlurMap = false;
  double highlightGain = 0.0;
  double highlightThreshold = 0.8;
  double highlightSaturation = 0.0;
  bool lensRepeatEdgePixels = true;
  bool useLinearWorkingSpace = true;

  // Box Blur
  double boxBlurRadius = 0.0;
  int32_t iterations = 3;
  int32_t boxDimensions = fm::kBothDimensions;
  bool boxRepeatEdgePixels = true;

  // Radial Blur
  double radialAmount = 10.0;
  double centerX = 0.0;
  double centerY = 0.0;
  int32_t radialType = fm::kSpin;
  int32_t antialiasing = fm::kAntialiasLow;

  // Motion Blur: directional, then tracked
  int32_t motionBlurType = fm::kDirectionalBlur;
  double direction = 0.0;
  double blurLength = 0.0;
  double blurAmount = 0.5;
  double motionSensitivity = 70.0;
  int32_t tracking = fm::kTrackBothNeighbours;
  int32_t vectorDetail = fm::kDetailFull;
  int32_t motionOutput = fm::kOutputMotionBlur;
  double maxDisplacement = 32.0;

  // Render scale
  double downsampleX = 1.0;
  double downsampleY = 1.0;
  double pixelAspect = 1.0;

  bool lowQuality = false;
  int32_t bitDepth = 32;
  int32_t frameMode = fm::kFrameOrdinary;

  fm::Rect inputBounds;
  fm::Rect inputResult;
  fm::Rect layerBounds;
  bool hasMap = false;
  fm::Rect mapBounds;
  fm::Rect mapResult;
  bool hasPrevFrame = false;
  bool hasNextFrame = false;
  fm::Rect prevRect;
  fm::Rect nextRect;
  fm::Rect resultRect;
  fm::Rect maxResultRect;
};
