#include "plugin/ParamTable.h"

#include <cmath>
#include <cstring>

namespace fm {
namespace {

constexpr uint32_t kCannotTimeVary = PF_ParamFlag_CannotTimeVary;
constexpr uint32_t kCollapsed = PF_ParamFlag_StartCollapsed;
constexpr uint32_t kSupervise = PF_ParamFlag_Supervise;
constexpr uint32_t kSkipReveal = PF_ParamFlag_SkipRevealWhenUnhidden;
constexpr uint32_t kAnimated = kSkipReveal | kCollapsed;
constexpr uint32_t kSelector = kSupervise | kCannotTimeVary;

constexpr ParamOwner kEveryKind{0, 0, false};
constexpr ParamOwner kVector{kVectorBlur, 0, false};
constexpr ParamOwner kGaussian{kGaussianBlur, 0, false};
constexpr ParamOwner kLens{kCameraLensBlur, 0, false};
constexpr ParamOwner kBox{kBoxBlur, 0, false};
constexpr ParamOwner kRadial{kRadialBlur, 0, false};
constexpr ParamOwner kMotion{kMotionBlur, 0, false};
constexpr ParamOwner kDirectional{kMotionBlur, kDirectionalBlur, false};
constexpr ParamOwner kTracked{kMotionBlur, kTrackedMotionBlur, false};
constexpr ParamOwner kTrackedVectors{kMotionBlur, kTrackedMotionBlur, true};

constexpr ParamRow row(int32_t type, int32_t id, const char* name, uint32_t flags,
                       ParamOwner owner) {
  return {type, id, name, flags, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, owner};
}

constexpr ParamRow layer(int32_t id, const char* name, ParamOwner owner) {
  ParamRow r = row(PF_Param_Layer, id, name, kSkipReveal, owner);
  r.defaultValue = PF_LayerDefault_None;
  return r;
}

constexpr ParamRow popup(int32_t id, const char* name, const char* choices, int32_t value,
                         uint32_t flags, ParamOwner owner) {
  ParamRow r = row(PF_Param_Popup, id, name, flags, owner);
  r.text = choices;
  r.defaultValue = value;
  return r;
}

constexpr ParamRow slider(int32_t id, const char* name, double validMin, double validMax,
                          double sliderMin, double sliderMax, double value, int16_t precision,
                          uint16_t display, ParamOwner owner) {
  ParamRow r = row(PF_Param_FloatSlider, id, name, kAnimated, owner);
  r.validMin = validMin;
  r.validMax = validMax;
  r.sliderMin = sliderMin;
  r.sliderMax = sliderMax;
  r.defaultValue = value;
  r.precision = precision;
  r.displayFlags = display;
  return r;
}

constexpr ParamRow intSlider(int32_t id, const char* name, int32_t validMin, int32_t validMax,
                             int32_t sliderMin, int32_t sliderMax, int32_t value,
                             ParamOwner owner) {
  ParamRow r = slider(id, name, validMin, validMax, sliderMin, sliderMax, value, 0, 0, owner);
  r.type = PF_Param_IntSlider;
  return r;
}

constexpr ParamRow angle(int32_t id, const char* name, ParamOwner owner) {
  return row(PF_Param_Angle, id, name, kAnimated, owner);
}

constexpr ParamRow checkbox(int32_t id, const char* name, const char* label, bool on,
                            ParamOwner owner) {
  ParamRow r = row(PF_Param_Checkbox, id, name, kSkipReveal, owner);
  r.text = label;
  r.defaultValue = on ? 1 : 0;
  return r;
}

constexpr ParamRow point(int32_t id, const char* name, double xPercent, double yPercent,
                         ParamOwner owner) {
  ParamRow r = row(PF_Param_Point, id, name, kSkipReveal, owner);
  r.defaultValue = xPercent;
  r.defaultY = yPercent;
  return r;
}

constexpr ParamRow groupStart(int32_t id, const char* name, ParamOwner owner) {
  return row(PF_Param_GroupStart, id, name, kCollapsed, owner);
}

constexpr ParamRow groupEnd(int32_t id, ParamOwner owner) {
  return row(PF_Param_GroupEnd, id, "", 0, owner);
}

constexpr const char* kBlurTypes =
    "Vector Blur|Gaussian Blur|Camera Lens Blur|Box Blur|Radial Blur|Motion Blur";
constexpr const char* kVectorTypes =
    "Natural|Constant Length|Perpendicular|Direction Center|Direction Fading";
constexpr const char* kMapProperties = "Red|Green|Blue|Alpha|Luminance|Lightness|Hue|Saturation";
constexpr const char* kDimensions = "Horizontal and Vertical|Horizontal|Vertical";
constexpr const char* kIrisShapes =
    "Triangle|Square|Pentagon|Hexagon|Heptagon|Octagon|Nonagon|Decagon";
constexpr const char* kMapChannels = "Luminance|Red|Green|Blue|Alpha";
constexpr const char* kPlacements = "Center Map|Stretch Map to Fit";
constexpr const char* kRadialTypes = "Spin|Zoom";
constexpr const char* kAntialiasing = "Low|High";
constexpr const char* kMotionBlurTypes = "Directional Blur|Tracked Motion Blur";
constexpr const char* kTrackingModes = "Previous and Next Frames|Previous Frame|Next Frame";
constexpr const char* kVectorDetails = "Full|Half|Quarter";
constexpr const char* kOutputs = "Motion Blur|Motion Vectors";
constexpr const char* kRepeatEdgePixels = "Repeat Edge Pixels";

constexpr uint16_t kPercent = PF_ValueDisplay_Percent;
constexpr uint16_t kPixelValue = PF_ValueDisplay_PixelValue;

// Ids are grouped in decades per kind and never reused: projects store values under them.
constexpr ParamRow kRows[] = {
    {PF_Param_Layer, 0, "", 0, 0, 0, 0, 0, PF_LayerDefault_Myself, 0, 0, 0, nullptr, kEveryKind},
    popup(1, "Blur Type", kBlurTypes, 1, kSelector, kEveryKind),

    popup(10, "Type", kVectorTypes, 1, kSkipReveal | kCannotTimeVary, kVector),
    slider(11, "Amount", -500, 500, -100, 100, 0, 1, 0, kVector),
    angle(12, "Angle Offset", kVector),
    slider(13, "Ridge Smoothness", 0, 100, 0, 10, 1, 1, 0, kVector),
    layer(14, "Vector Map", kVector),
    popup(15, "Property", kMapProperties, 6, kSkipReveal, kVector),
    slider(16, "Map Softness", 0, 500, 0, 50, 15, 1, 0, kVector),

    slider(20, "Blurriness", 0, 30000, 0, 50, 0, 1, 0, kGaussian),
    popup(21, "Blur Dimensions", kDimensions, 1, kSkipReveal, kGaussian),
    checkbox(22, "", kRepeatEdgePixels, true, kGaussian),

    slider(30, "Blur Radius", 0, 500, 0, 100, 5, 1, 0, kLens),
    groupStart(31, "Iris Properties", kLens),
    popup(32, "Shape", kIrisShapes, 4, kSkipReveal, kLens),
    slider(33, "Roundness", 0, 100, 0, 100, 0, 0, kPercent, kLens),
    slider(34, "Aspect Ratio", 0.01, 100, 0.01, 4, 1, 1, 0, kLens),
    angle(35, "Rotation", kLens),
    slider(36, "Diffraction Fringe", 0, 500, 0, 100, 100, 1, 0, kLens),
    groupEnd(37, kLens),
    groupStart(38, "Blur Map", kLens),
    layer(39, "Layer", kLens),
    popup(40, "Channel", kMapChannels, 1, kSkipReveal, kLens),
    popup(41, "Placement", kPlacements, 1, kSkipReveal, kLens),
    slider(42, "Blur Focal Distance", 0, 1, 0, 1, 0, 0, kPixelValue, kLens),
    checkbox(43, "Invert Blur Map", "", false, kLens),
    groupEnd(44, kLens),
    groupStart(45, "Highlight", kLens),
    slider(46, "Gain", 0, 100, 0, 100, 0, 0, 0, kLens),
    slider(47, "Threshold", 0, 1, 0, 1, 0.8, 0, kPixelValue, kLens),
    slider(48, "Saturation", 0, 100, 0, 100, 0, 0, 0, kLens),
    groupEnd(49, kLens),
    checkbox(50, "Edge Behavior", kRepeatEdgePixels, true, kLens),
    checkbox(51, "", "Use \"Linear\" Working Space", true, kLens),

    slider(60, "Blur Radius", 0, 30000, 0, 127, 0, 1, 0, kBox),
    intSlider(61, "Iterations", 1, 50, 1, 5, 3, kBox),
    popup(62, "Blur Dimensions", kDimensions, 1, kSkipReveal, kBox),
    checkbox(63, "", kRepeatEdgePixels, true, kBox),

    slider(70, "Amount", 0, 1000, 0, 100, 10, 1, 0, kRadial),
    point(71, "Center", 50, 50, kRadial),
    popup(72, "Type", kRadialTypes, 1, kSkipReveal, kRadial),
    popup(73, "Antialiasing (Best Quality)", kAntialiasing, 1, kSkipReveal, kRadial),

    popup(80, "Motion Blur Type", kMotionBlurTypes, 1, kSelector | kSkipReveal, kMotion),
    angle(81, "Direction", kDirectional),
    slider(82, "Blur Length", 0, 1000, 0, 20, 0, 1, 0, kDirectional),
    slider(88, "Blur Amount", 0, 4, 0, 1, 0.5, 2, 0, kTracked),
    slider(89, "Motion Sensitivity", 0, 100, 0, 100, 70, 0, 0, kTracked),
    popup(90, "Tracking", kTrackingModes, 1, kSkipReveal, kTracked),
    popup(91, "Vector Detail", kVectorDetails, 1, kSkipReveal, kTracked),
    layer(92, "Foreground Matte", kTracked),
    popup(93, "Output", kOutputs, 1, kSelector | kSkipReveal, kTracked),
    slider(94, "Max Displacement", 1, 4096, 1, 256, 32, 0, 0, kTrackedVectors),
};

static_assert(sizeof(kRows) / sizeof(kRows[0]) == kParamCount, "one row per parameter");

constexpr size_t textLength(const char* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

constexpr bool rowsAreSound() {
  for (int32_t i = 0; i < kParamCount; ++i) {
    if (textLength(kRows[i].name) >= PF_ParamNameSize) return false;
    if (i > 0 && kRows[i].id <= kRows[i - 1].id) return false;  // ids unique
  }
  return true;
}
static_assert(rowsAreSound(), "names fit the host's record and ids are unique");

int32_t choiceCount(const char* choices) {
  int32_t n = 1;
  for (const char* c = choices; *c; ++c) n += *c == '|';
  return n;
}

PF_Fixed toFixed(double v) {
  return PF_Fixed(std::lround(v * 65536.0));
}

}  // namespace

const ParamRow& paramRow(int32_t index) {
  return kRows[index];
}

PF_ParamDef makeParamDef(const ParamRow& row) {
  PF_ParamDef def;
  std::memset(&def, 0, sizeof(def));
  def.type = row.type;
  std::strncpy(def.name, row.name, sizeof(def.name) - 1);
  def.id = row.id;
  def.flags = row.flags;
  PF_ParamValue& u = def.u;
  switch (row.type) {
    case PF_Param_Layer:
      u.layer.defaultLayer = int32_t(row.defaultValue);
      break;
    case PF_Param_Popup:
      u.popup.choices = row.text;
      u.popup.choiceCount = choiceCount(row.text);
      u.popup.value = u.popup.defaultValue = int32_t(row.defaultValue);
      break;
    case PF_Param_FloatSlider:
      u.floatSlider.validMin = row.validMin;
      u.floatSlider.validMax = row.validMax;
      u.floatSlider.sliderMin = row.sliderMin;
      u.floatSlider.sliderMax = row.sliderMax;
      u.floatSlider.value = u.floatSlider.defaultValue = row.defaultValue;
      u.floatSlider.curveTolerance = 0.05f;
      u.floatSlider.precision = row.precision;
      u.floatSlider.displayFlags = row.displayFlags;
      break;
    case PF_Param_IntSlider:
      u.intSlider.validMin = int32_t(row.validMin);
      u.intSlider.validMax = int32_t(row.validMax);
      u.intSlider.sliderMin = int32_t(row.sliderMin);
      u.intSlider.sliderMax = int32_t(row.sliderMax);
      u.intSlider.value = u.intSlider.defaultValue = int32_t(row.defaultValue);
      break;
    case PF_Param_Angle:
      u.angle.value = u.angle.defaultValue = toFixed(row.defaultValue);
      break;
    case PF_Param_Checkbox:
      u.checkbox.label = row.text;
      u.checkbox.value = u.checkbox.defaultValue = int32_t(row.defaultValue);
      break;
    case PF_Param_Point:
      u.point.defaultXPercent = toFixed(row.defaultValue);
      u.point.defaultYPercent = toFixed(row.defaultY);
      break;
    default:  // groups carry no value
      break;
  }
  return def;
}

}  // namespace fm
