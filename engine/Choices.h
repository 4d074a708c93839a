// The values of the effect's choices as the settings record carries them: each popup's
// choices numbered from 1 in the order the panel lists them.
#pragma once

#include <cstdint>

namespace fm {

// "Blur Type".
enum BlurType : int32_t { kVectorBlur = 1, kGaussianBlur, kCameraLensBlur, kBoxBlur, kRadialBlur, kMotionBlur };

// "Blur Dimensions" of Gaussian and Box Blur.
enum BlurDimensions : int32_t { kBothDimensions = 1, kHorizontalOnly, kVerticalOnly };
inline bool blursHorizontally(int32_t d) { return d == kBothDimensions || d == kHorizontalOnly; }
inline bool blursVertically(int32_t d) { return d == kBothDimensions || d == kVerticalOnly; }

// Camera Lens Blur: "Shape" runs from a triangle (3 sides) to a decagon; "Channel" and
// "Placement" of the blur map.
constexpr int32_t kFirstIrisShape = 1, kLastIrisShape = 8, kSidesOfFirstIrisShape = 3;
enum BlurMapChannel : int32_t { kMapLuminance = 1, kMapRed, kMapGreen, kMapBlue, kMapAlpha };
enum BlurMapPlacement : int32_t { kCenterMap = 1, kStretchMapToFit };

// Radial Blur: "Type" and "Antialiasing (Best Quality)".
enum RadialType : int32_t { kSpin = 1, kZoom };
enum Antialiasing : int32_t { kAntialiasLow = 1, kAntialiasHigh };

// Motion Blur: "Motion Blur Type", then the tracked kind's "Tracking", "Vector Detail" and "Output".
enum MotionBlurType : int32_t { kDirectionalBlur = 1, kTrackedMotionBlur };
enum Tracking : int32_t { kTrackBothNeighbours = 1, kTrackPreviousFrame, kTrackNextFrame };
enum VectorDetail : int32_t { kDetailFull = 1, kDetailHalf, kDetailQuarter };
enum MotionOutput : int32_t { kOutputMotionBlur = 1, kOutputMotionVectors };

// How the plug-in layer renders a frame.
enum FrameMode : int32_t { kFrameOrdinary = 1, kFrameIdentity = 2, kFrameTracked = 4 };

}  // namespace fm
