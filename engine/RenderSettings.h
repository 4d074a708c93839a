// The flat per-frame record that pre-render fills and the engine reads. Initial values
// are the parameters' defaults, so a kind reads sensible values for any field not set.
#pragma once

#include <cstdint>

#include "engine/Rect.h"

namespace fm {

// "Blur Type" values.
enum BlurKind : int32_t {
  kVectorBlur = 1,
  kGaussianBlur = 2,
  kCameraLensBlur = 3,
  kBoxBlur = 4,
  kRadialBlur = 5,
  kMotionBlur = 6,
};

// How the plug-in layer renders a frame.
enum FrameMode : int32_t {
  kFrameOrdinary = 1,
  kFrameIdentity = 2,
  kFrameTracked = 4,
};

}  // namespace fm

struct RenderSettings {
  int32_t blurType = 1;

  // Vector Blur
  int32_t vectorType = 1;
  double vectorAmount = 0.0;
  double angleOffset = 0.0;
  double ridgeSmoothness = 1.0;
  int32_t mapProperty = 6;
  double mapSoftness = 15.0;

  // Gaussian Blur
  double blurriness = 0.0;
  int32_t gaussianDimensions = 1;
  bool gaussianRepeatEdgePixels = true;
  bool lowBitDepth = false;

  // Camera Lens Blur
  double blurRadius = 5.0;
  bool hasBlurMap = false;
  int32_t irisShape = 4;
  double irisRoundness = 0.0;
  double irisAspectRatio = 1.0;
  double irisRotation = 0.0;
  double diffractionFringe = 100.0;
  int32_t blurMapChannel = 1;
  int32_t blurMapPlacement = 1;
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
  int32_t boxDimensions = 1;
  bool boxRepeatEdgePixels = true;

  // Radial Blur
  double radialAmount = 10.0;
  double centerX = 0.0;
  double centerY = 0.0;
  int32_t radialType = 1;
  int32_t antialiasing = 1;

  // Motion Blur: directional, then tracked
  int32_t motionBlurType = 1;
  double direction = 0.0;
  double blurLength = 0.0;
  double blurAmount = 0.5;
  double motionSensitivity = 70.0;
  int32_t tracking = 1;
  int32_t vectorDetail = 1;
  int32_t motionOutput = 1;
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
