// The effect's parameters as the product promises them to users and saved projects, written
// out independently of the module's own table.
#pragma once

#include <cstdint>

#include "host/EffectInterface.h"

namespace fm::test {

struct ExpectedParam {
  int32_t id;
  const char* name;
  int32_t type;
  double validMin, validMax, sliderMin, sliderMax;
  double defaultValue;  // a point's default is (defaultValue, defaultValue) percent
  int32_t precision;
  uint32_t display;
  uint32_t flags;
  const char* text;  // choices or check-box label
  // Whose control: "*" every kind, V G L B R M one kind, MD / MT one Motion Blur Type, MTV
  // tracked with "Output" "Motion Vectors" only.
  const char* owner;
};

constexpr int32_t L_ = PF_Param_Layer, P_ = PF_Param_Popup, F_ = PF_Param_FloatSlider,
                  I_ = PF_Param_IntSlider, A_ = PF_Param_Angle, C_ = PF_Param_Checkbox,
                  T_ = PF_Param_Point, GS = PF_Param_GroupStart, GE = PF_Param_GroupEnd;

// Index i + 1 is kExpectedParams[i].
inline const ExpectedParam kExpectedParams[] = {
    {1, "Blur Type", P_, 0, 0, 0, 0, 1, 0, 0, 66,
     "Vector Blur|Gaussian Blur|Camera Lens Blur|Box Blur|Radial Blur|Motion Blur", "*"},
    {10, "Type", P_, 0, 0, 0, 0, 1, 0, 0, 514,
     "Natural|Constant Length|Perpendicular|Direction Center|Direction Fading", "V"},
    {11, "Amount", F_, -500, 500, -100, 100, 0, 1, 0, 544, nullptr, "V"},
    {12, "Angle Offset", A_, 0, 0, 0, 0, 0, 0, 0, 544, nullptr, "V"},
    {13, "Ridge Smoothness", F_, 0, 100, 0, 10, 1, 1, 0, 544, nullptr, "V"},
    {14, "Vector Map", L_, 0, 0, 0, 0, 0, 0, 0, 512, nullptr, "V"},
    {15, "Property", P_, 0, 0, 0, 0, 6, 0, 0, 512,
     "Red|Green|Blue|Alpha|Luminance|Lightness|Hue|Saturation", "V"},
    {16, "Map Softness", F_, 0, 500, 0, 50, 15, 1, 0, 544, nullptr, "V"},
    {20, "Blurriness", F_, 0, 30000, 0, 50, 0, 1, 0, 544, nullptr, "G"},
    {21, "Blur Dimensions", P_, 0, 0, 0, 0, 1, 0, 0, 512,
     "Horizontal and Vertical|Horizontal|Vertical", "G"},
    {22, "", C_, 0, 0, 0, 0, 1, 0, 0, 512, "Repeat Edge Pixels", "G"},
    {30, "Blur Radius", F_, 0, 500, 0, 100, 5, 1, 0, 544, nullptr, "L"},
    {31, "Iris Properties", GS, 0, 0, 0, 0, 0, 0, 0, 32, nullptr, "L"},
    {32, "Shape", P_, 0, 0, 0, 0, 4, 0, 0, 512,
     "Triangle|Square|Pentagon|Hexagon|Heptagon|Octagon|Nonagon|Decagon", "L"},
    {33, "Roundness", F_, 0, 100, 0, 100, 0, 0, 1, 544, nullptr, "L"},
    {34, "Aspect Ratio", F_, 0.01, 100, 0.01, 4, 1, 1, 0, 544, nullptr, "L"},
    {35, "Rotation", A_, 0, 0, 0, 0, 0, 0, 0, 544, nullptr, "L"},
    {36, "Diffraction Fringe", F_, 0, 500, 0, 100, 100, 1, 0, 544, nullptr, "L"},
    {37, "", GE, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, "L"},
    {38, "Blur Map", GS, 0, 0, 0, 0, 0, 0, 0, 32, nullptr, "L"},
    {39, "Layer", L_, 0, 0, 0, 0, 0, 0, 0, 512, nullptr, "L"},
    {40, "Channel", P_, 0, 0, 0, 0, 1, 0, 0, 512, "Luminance|Red|Green|Blue|Alpha", "L"},
    {41, "Placement", P_, 0, 0, 0, 0, 1, 0, 0, 512, "Center Map|Stretch Map to Fit", "L"},
    {42, "Blur Focal Distance", F_, 0, 1, 0, 1, 0, 0, 2, 544, nullptr, "L"},
    {43, "Invert Blur Map", C_, 0, 0, 0, 0, 0, 0, 0, 512, "", "L"},
    {44, "", GE, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, "L"},
    {45, "Highlight", GS, 0, 0, 0, 0, 0, 0, 0, 32, nullptr, "L"},
    {46, "Gain", F_, 0, 100, 0, 100, 0, 0, 0, 544, nullptr, "L"},
    {47, "Threshold", F_, 0, 1, 0, 1, 0.8, 0, 2, 544, nullptr, "L"},
    {48, "Saturation", F_, 0, 100, 0, 100, 0, 0, 0, 544, nullptr, "L"},
    {49, "", GE, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, "L"},
    {50, "Edge Behavior", C_, 0, 0, 0, 0, 1, 0, 0, 512, "Repeat Edge Pixels", "L"},
    {51, "", C_, 0, 0, 0, 0, 1, 0, 0, 512, "Use \"Linear\" Working Space", "L"},
    {60, "Blur Radius", F_, 0, 30000, 0, 127, 0, 1, 0, 544, nullptr, "B"},
    {61, "Iterations", I_, 1, 50, 1, 5, 3, 0, 0, 544, nullptr, "B"},
    {62, "Blur Dimensions", P_, 0, 0, 0, 0, 1, 0, 0, 512,
     "Horizontal and Vertical|Horizontal|Vertical", "B"},
    {63, "", C_, 0, 0, 0, 0, 1, 0, 0, 512, "Repeat Edge Pixels", "B"},
    {70, "Amount", F_, 0, 1000, 0, 100, 10, 1, 0, 544, nullptr, "R"},
    {71, "Center", T_, 0, 0, 0, 0, 50, 0, 0, 512, nullptr, "R"},
    {72, "Type", P_, 0, 0, 0, 0, 1, 0, 0, 512, "Spin|Zoom", "R"},
    {73, "Antialiasing (Best Quality)", P_, 0, 0, 0, 0, 1, 0, 0, 512, "Low|High", "R"},
    {80, "Motion Blur Type", P_, 0, 0, 0, 0, 1, 0, 0, 578, "Directional Blur|Tracked Motion Blur",
     "M"},
    {81, "Direction", A_, 0, 0, 0, 0, 0, 0, 0, 544, nullptr, "MD"},
    {82, "Blur Length", F_, 0, 1000, 0, 20, 0, 1, 0, 544, nullptr, "MD"},
    {88, "Blur Amount", F_, 0, 4, 0, 1, 0.5, 2, 0, 544, nullptr, "MT"},
    {89, "Motion Sensitivity", F_, 0, 100, 0, 100, 70, 0, 0, 544, nullptr, "MT"},
    {90, "Tracking", P_, 0, 0, 0, 0, 1, 0, 0, 512,
     "Previous and Next Frames|Previous Frame|Next Frame", "MT"},
    {91, "Vector Detail", P_, 0, 0, 0, 0, 1, 0, 0, 512, "Full|Half|Quarter", "MT"},
    {92, "Foreground Matte", L_, 0, 0, 0, 0, 0, 0, 0, 512, nullptr, "MT"},
    {93, "Output", P_, 0, 0, 0, 0, 1, 0, 0, 578, "Motion Blur|Motion Vectors", "MT"},
    {94, "Max Displacement", F_, 1, 4096, 1, 256, 32, 0, 0, 544, nullptr, "MTV"},
};

inline constexpr int32_t kExpectedParamCount = 52;  // with index 0, the effect's own layer

inline const ExpectedParam& expectedParam(int32_t index) {
  return kExpectedParams[index - 1];
}

}  // namespace fm::test
