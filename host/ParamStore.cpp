#include "host/ParamStore.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <set>

namespace fm::host {
namespace {

bool finite(std::initializer_list<double> values) {
  for (double v : values) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

template <class T>
bool rangesSound(T validMin, T validMax, T sliderMin, T sliderMax, T value) {
  return validMin <= sliderMin && sliderMin <= sliderMax && sliderMax <= validMax &&
         validMin <= value && value <= validMax;
}

std::vector<std::string> splitChoices(const std::string& text) {
  std::vector<std::string> choices(1);
  for (char c : text) {
    if (c == '|') {
      choices.emplace_back();
    } else {
      choices.back() += c;
    }
  }
  return choices;
}

PF_Fixed toFixed(double v) {
  return PF_Fixed(std::lround(v * 65536.0));
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// Checks the value block of a definition; the reason in *problem.
bool valueBlockSound(const PF_ParamDef& def, int32_t openGroups, std::string* problem) {
  const PF_ParamValue& u = def.u;
  switch (def.type) {
    case PF_Param_Layer:
      if (u.layer.defaultLayer == PF_LayerDefault_None ||
          u.layer.defaultLayer == PF_LayerDefault_Myself) {
        return true;
      }
      *problem = "unknown default layer";
      return false;
    case PF_Param_Popup:
      if (!u.popup.choices) {
        *problem = "no choices";
        return false;
      }
      if (u.popup.defaultValue < 1 || u.popup.defaultValue > u.popup.choiceCount) {
        *problem = "default choice outside 1 to " + std::to_string(u.popup.choiceCount);
        return false;
      }
      return true;
    case PF_Param_FloatSlider: {
      const PF_FloatSliderParam& s = u.floatSlider;
      if (!finite({s.validMin, s.validMax, s.sliderMin, s.sliderMax, s.defaultValue}) ||
          !rangesSound(s.validMin, s.validMax, s.sliderMin, s.sliderMax, s.defaultValue)) {
        *problem = "slider ranges or default out of order";
        return false;
      }
      if (s.precision < 0 || s.precision > 6 || !std::isfinite(s.curveTolerance) ||
          s.curveTolerance < 0 ||
          (s.displayFlags & ~(PF_ValueDisplay_Percent | PF_ValueDisplay_PixelValue))) {
        *problem = "unknown precision, curve tolerance or display flags";
        return false;
      }
      return true;
    }
    case PF_Param_IntSlider: {
      const PF_IntSliderParam& s = u.intSlider;
      if (!rangesSound(s.validMin, s.validMax, s.sliderMin, s.sliderMax, s.defaultValue)) {
        *problem = "slider ranges or default out of order";
        return false;
      }
      return true;
    }
    case PF_Param_FixedSlider: {
      const PF_FixedSliderParam& s = u.fixedSlider;
      if (!rangesSound(s.validMin, s.validMax, s.sliderMin, s.sliderMax, s.defaultValue)) {
        *problem = "slider ranges or default out of order";
        return false;
      }
      return true;
    }
    case PF_Param_Checkbox:
      if (u.checkbox.defaultValue != 0 && u.checkbox.defaultValue != 1) {
        *problem = "a check box's default is 0 or 1";
        return false;
      }
      return true;
    case PF_Param_Angle:
    case PF_Param_Point:
    case PF_Param_GroupStart:
      return true;
    case PF_Param_GroupEnd:
      if (openGroups > 0) return true;
      *problem = "a group end without a group";
      return false;
    default:
      *problem = "unknown parameter type " + std::to_string(def.type);
      return false;
  }
}

}  // namespace

void ParamStore::reset(int32_t layerId, int32_t layerWidth, int32_t layerHeight) {
  entries_.assign(1, ParamEntry());
  ParamEntry& layer = entries_[0];
  std::memset(&layer.def, 0, sizeof(layer.def));
  layer.def.type = PF_Param_Layer;
  layer.def.u.layer.defaultLayer = PF_LayerDefault_Myself;
  layer.def.u.layer.layerId = layerId;
  layerWidth_ = layerWidth;
  layerHeight_ = layerHeight;
  openGroups_ = 0;
}

bool ParamStore::declare(const PF_ParamDef& def, std::string* error) {
  const int32_t index = count();
  const void* nameEnd = std::memchr(def.name, 0, sizeof(def.name));
  const std::string name = nameEnd ? def.name : std::string(def.name, sizeof(def.name));
  const std::string what = "parameter " + std::to_string(index) + " (\"" + name + "\")";
  std::string problem;
  if (!nameEnd) {
    problem = "name longer than " + std::to_string(PF_ParamNameSize - 1) + " characters";
  } else if (def.id <= 0) {
    problem = "persistent id " + std::to_string(def.id) + " is not positive";
  } else {
    for (const ParamEntry& e : entries_) {
      if (e.def.id == def.id) problem = "persistent id " + std::to_string(def.id) + " is taken";
    }
  }
  if (problem.empty()) valueBlockSound(def, openGroups_, &problem);

  ParamEntry entry;
  entry.def = def;
  if (problem.empty() && def.type == PF_Param_Popup) {
    entry.choicesText = def.u.popup.choices;
    entry.choices = splitChoices(entry.choicesText);
    if (int32_t(entry.choices.size()) != def.u.popup.choiceCount) {
      problem = std::to_string(entry.choices.size()) + " choices, declared as " +
                std::to_string(def.u.popup.choiceCount);
    }
    for (const std::string& c : entry.choices) {
      if (c.empty()) problem = "an empty choice";
    }
  }
  if (!problem.empty()) {
    if (error) *error = what + ": " + problem;
    return false;
  }

  PF_ParamValue& u = entry.def.u;
  switch (def.type) {
    case PF_Param_Layer:
      u.layer.layerId =
          u.layer.defaultLayer == PF_LayerDefault_Myself ? entries_[0].def.u.layer.layerId : 0;
      break;
    case PF_Param_Popup:
      u.popup.value = u.popup.defaultValue;
      u.popup.choices = nullptr;
      break;
    case PF_Param_FloatSlider:
      u.floatSlider.value = u.floatSlider.defaultValue;
      break;
    case PF_Param_IntSlider:
      u.intSlider.value = u.intSlider.defaultValue;
      break;
    case PF_Param_FixedSlider:
      u.fixedSlider.value = u.fixedSlider.defaultValue;
      break;
    case PF_Param_Angle:
      u.angle.value = u.angle.defaultValue;
      break;
    case PF_Param_Checkbox:
      entry.label = u.checkbox.label ? u.checkbox.label : "";
      u.checkbox.label = nullptr;
      u.checkbox.value = u.checkbox.defaultValue;
      break;
    case PF_Param_Point:
      setDefaultPoint(u.point);
      break;
    case PF_Param_GroupStart:
      ++openGroups_;
      break;
    case PF_Param_GroupEnd:
      --openGroups_;
      break;
  }
  entries_.push_back(std::move(entry));
  return true;
}

bool ParamStore::finish(std::string* error) const {
  if (openGroups_ == 0) return true;
  if (error) *error = std::to_string(openGroups_) + " parameter group(s) left open";
  return false;
}

PF_ParamDef ParamStore::definition(int32_t index, double frame) const {
  const ParamEntry& e = entry(index);
  PF_ParamDef def = e.def;
  if (!e.keys.empty()) def.u = valueAt(index, frame);
  if (def.type == PF_Param_Popup) def.u.popup.choices = e.choicesText.c_str();
  if (def.type == PF_Param_Checkbox) def.u.checkbox.label = e.label.c_str();
  return def;
}

std::string ParamStore::panelName(int32_t index) const {
  const ParamEntry& e = entry(index);
  return e.def.name[0] || e.def.type != PF_Param_Checkbox ? std::string(e.def.name) : e.label;
}

int32_t ParamStore::find(const std::string& name, std::string* error) const {
  const auto answersTo = [&](int32_t i, bool exact) {
    const ParamEntry& e = entry(i);
    const auto same = [&](const std::string& s) {
      return !s.empty() && (exact ? s == name : equalsIgnoringCase(s, name));
    };
    return same(e.def.name) || (e.def.type == PF_Param_Checkbox && same(e.label));
  };
  std::vector<int32_t> named;
  for (bool exact : {true, false}) {
    for (int32_t i = 1; i < count(); ++i) {
      if (answersTo(i, exact)) named.push_back(i);
    }
    if (!named.empty()) break;
  }
  if (named.size() == 1) return named[0];

  std::vector<int32_t> shown;
  for (int32_t i : named) {
    if (!hidden(i)) shown.push_back(i);
  }
  if (shown.size() == 1) return shown[0];
  if (error) {
    if (named.empty()) {
      *error = "no parameter is named \"" + name + "\"";
    } else {
      *error = "\"" + name + "\" names several parameters (";
      for (size_t k = 0; k < named.size(); ++k) {
        *error += (k ? ", " : "") + std::to_string(named[k]);
      }
      *error += "): choose their blur kind first, or give the index";
    }
  }
  return -1;
}

void ParamStore::setDefaultPoint(PF_PointParam& point) const {
  point.x = toFixed(point.defaultXPercent / 65536.0 / 100.0 * layerWidth_);
  point.y = toFixed(point.defaultYPercent / 65536.0 / 100.0 * layerHeight_);
}

void ParamStore::resizeLayer(int32_t layerWidth, int32_t layerHeight) {
  layerWidth_ = layerWidth;
  layerHeight_ = layerHeight;
  for (ParamEntry& e : entries_) {
    if (e.def.type == PF_Param_Point && !e.changed) setDefaultPoint(e.def.u.point);
  }
}

void ParamStore::setValue(int32_t index, const PF_ParamValue& value) {
  ParamEntry& e = entries_[size_t(index)];
  e.changed = true;
  e.keys.clear();
  e.def.u = value;
  if (e.def.type == PF_Param_Popup) e.def.u.popup.choices = nullptr;
  if (e.def.type == PF_Param_Checkbox) e.def.u.checkbox.label = nullptr;
}

void ParamStore::setKeys(int32_t index, std::vector<ParamKey> keys) {
  if (keys.empty()) return;
  setValue(index, keys.front().value);
  for (ParamKey& k : keys) {
    if (entry(index).def.type == PF_Param_Popup) k.value.popup.choices = nullptr;
    if (entry(index).def.type == PF_Param_Checkbox) k.value.checkbox.label = nullptr;
  }
  entries_[size_t(index)].keys = std::move(keys);
}

PF_ParamValue ParamStore::valueAt(int32_t index, double frame) const {
  const ParamEntry& e = entry(index);
  const std::vector<ParamKey>& keys = e.keys;
  if (keys.empty()) return e.def.u;
  const auto after = std::upper_bound(keys.begin(), keys.end(), frame,
                                      [](double f, const ParamKey& k) { return f < k.frame; });
  if (after == keys.begin()) return keys.front().value;
  if (after == keys.end()) return keys.back().value;
  const ParamKey& a = *(after - 1);
  const ParamKey& b = *after;
  const double t = (frame - a.frame) / (b.frame - a.frame);
  const auto mix = [t](double x, double y) { return x + (y - x) * t; };
  const auto mixFixed = [&](PF_Fixed x, PF_Fixed y) { return PF_Fixed(std::lround(mix(x, y))); };
  PF_ParamValue v = a.value;
  switch (e.def.type) {
    case PF_Param_FloatSlider:
      v.floatSlider.value = mix(a.value.floatSlider.value, b.value.floatSlider.value);
      break;
    case PF_Param_IntSlider:
      v.intSlider.value =
          int32_t(std::lround(mix(a.value.intSlider.value, b.value.intSlider.value)));
      break;
    case PF_Param_FixedSlider:
      v.fixedSlider.value = mixFixed(a.value.fixedSlider.value, b.value.fixedSlider.value);
      break;
    case PF_Param_Angle:
      v.angle.value = mixFixed(a.value.angle.value, b.value.angle.value);
      break;
    case PF_Param_Point:
      v.point.x = mixFixed(a.value.point.x, b.value.point.x);
      v.point.y = mixFixed(a.value.point.y, b.value.point.y);
      break;
    default:  // choices and check boxes hold until the next key
      break;
  }
  return v;
}

}  // namespace fm::host
