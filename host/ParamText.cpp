#include "host/ParamText.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace fm::host {
namespace {

std::string trimmed(const std::string& s) {
  size_t begin = 0, end = s.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(s[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(s[end - 1]))) --end;
  return s.substr(begin, end - begin);
}

bool parseNumber(const std::string& text, double* value) {
  const std::string t = trimmed(text);
  if (t.empty()) return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtod(t.c_str(), &end);
  return errno == 0 && end == t.c_str() + t.size() && std::isfinite(*value);
}

std::string lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof(text), "%g", v);
  return text;
}

// 16.16 fixed point holds magnitudes below 32768.
bool toFixed(double v, PF_Fixed* out) {
  if (!(std::fabs(v) < 32768.0)) return false;
  *out = PF_Fixed(std::lround(v * 65536.0));
  return true;
}

}  // namespace

bool parseParamText(const ParamEntry& entry, const std::string& name, const std::string& text,
                    PF_ParamValue* value, std::string* error) {
  const std::string quoted = "\"" + name + "\"";
  const auto fail = [&](const std::string& reason) {
    if (error) *error = quoted + ": " + reason;
    return false;
  };
  const auto outside = [&](double v, double lo, double hi) {
    return fail(number(v) + " is outside " + number(lo) + " to " + number(hi));
  };
  *value = entry.def.u;
  double v = 0;
  switch (entry.def.type) {
    case PF_Param_Popup: {
      const std::string wanted = trimmed(text);
      int32_t match = 0;
      for (size_t i = 0; i < entry.choices.size() && !match; ++i) {
        if (entry.choices[i] == wanted) match = int32_t(i) + 1;
      }
      for (size_t i = 0; i < entry.choices.size() && !match; ++i) {
        if (lower(entry.choices[i]) == lower(wanted)) match = int32_t(i) + 1;
      }
      if (!match) {
        std::string list;
        for (size_t i = 0; i < entry.choices.size(); ++i) {
          list += (i ? ", \"" : "\"") + entry.choices[i] + "\"";
        }
        return fail("no choice \"" + wanted + "\" (choices: " + list + ")");
      }
      value->popup.value = match;
      return true;
    }
    case PF_Param_FloatSlider: {
      const PF_FloatSliderParam& s = entry.def.u.floatSlider;
      if (!parseNumber(text, &v)) return fail("\"" + text + "\" is not a number");
      if (v < s.validMin || v > s.validMax) return outside(v, s.validMin, s.validMax);
      value->floatSlider.value = v;
      return true;
    }
    case PF_Param_IntSlider: {
      const PF_IntSliderParam& s = entry.def.u.intSlider;
      if (!parseNumber(text, &v) || v != std::floor(v)) {
        return fail("\"" + text + "\" is not a whole number");
      }
      if (v < s.validMin || v > s.validMax) return outside(v, s.validMin, s.validMax);
      value->intSlider.value = int32_t(v);
      return true;
    }
    case PF_Param_FixedSlider: {
      const PF_FixedSliderParam& s = entry.def.u.fixedSlider;
      PF_Fixed fixed = 0;
      if (!parseNumber(text, &v) || !toFixed(v, &fixed)) {
        return fail("\"" + text + "\" is not a number");
      }
      if (fixed < s.validMin || fixed > s.validMax) {
        return outside(v, s.validMin / 65536.0, s.validMax / 65536.0);
      }
      value->fixedSlider.value = fixed;
      return true;
    }
    case PF_Param_Angle:
      if (!parseNumber(text, &v) || !toFixed(v, &value->angle.value)) {
        return fail("\"" + text + "\" is not an angle in degrees");
      }
      return true;
    case PF_Param_Checkbox: {
      const std::string t = lower(trimmed(text));
      if (t == "on" || t == "1" || t == "true") {
        value->checkbox.value = 1;
      } else if (t == "off" || t == "0" || t == "false") {
        value->checkbox.value = 0;
      } else {
        return fail("\"" + text + "\" is neither on nor off");
      }
      return true;
    }
    case PF_Param_Point: {
      const size_t comma = text.find(',');
      double y = 0;
      if (comma == std::string::npos || !parseNumber(text.substr(0, comma), &v) ||
          !parseNumber(text.substr(comma + 1), &y) || !toFixed(v, &value->point.x) ||
          !toFixed(y, &value->point.y)) {
        return fail("\"" + text + "\" is not a point x,y");
      }
      return true;
    }
    case PF_Param_Layer:
      return fail("a layer is attached, not typed");
    default:
      return fail("holds no value");
  }
}

bool hasKeyframes(const std::string& text) { return text.find('@') != std::string::npos; }

bool parseParamKeys(const ParamEntry& entry, const std::string& name, const std::string& text,
                    std::vector<ParamKey>* keys, std::string* error) {
  const auto fail = [&](const std::string& reason) {
    if (error) *error = "\"" + name + "\": " + reason;
    return false;
  };
  keys->clear();
  // A value may hold commas itself (a point), so each key ends at the first comma after its
  // '@', not at the first comma.
  size_t start = 0;
  while (start <= text.size()) {
    const size_t at = text.find('@', start);
    if (at == std::string::npos) {
      return fail("\"" + text.substr(start) + "\" has no frame (keys are VALUE@FRAME, ...)");
    }
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string frameText = text.substr(at + 1, comma - at - 1);
    ParamKey key;
    if (!parseNumber(frameText, &key.frame)) {
      return fail("\"" + frameText + "\" is not a frame number (keys are VALUE@FRAME, ...)");
    }
    if (!parseParamText(entry, name, text.substr(start, at - start), &key.value, error)) {
      return false;
    }
    keys->push_back(key);
    start = comma + 1;
  }
  std::stable_sort(keys->begin(), keys->end(),
                   [](const ParamKey& a, const ParamKey& b) { return a.frame < b.frame; });
  for (size_t i = 1; i < keys->size(); ++i) {
    if ((*keys)[i].frame == (*keys)[i - 1].frame) {
      return fail("two keys at frame " + number((*keys)[i].frame));
    }
  }
  return true;
}

}  // namespace fm::host
