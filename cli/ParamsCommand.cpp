#include "cli/ParamsCommand.h"

#include <algorithm>
#include <cstdio>

#include "cli/Kinds.h"
#include "cli/Module.h"

namespace fm::cli {
namespace {

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof(text), "%g", v);
  return text;
}

std::string fixed(PF_Fixed v) { return number(v / 65536.0); }

std::string range(double validMin, double validMax, double sliderMin, double sliderMax) {
  return number(validMin) + " to " + number(validMax) + " (slider " + number(sliderMin) + " to " +
         number(sliderMax) + ")";
}

// The type and values of a parameter as the module declared them.
std::string describe(const host::HeadlessHost& host, int32_t index) {
  const host::ParamEntry& e = host.params().entry(index);
  const PF_ParamValue& u = e.def.u;
  switch (e.def.type) {
    case PF_Param_FloatSlider: {
      const PF_FloatSliderParam& s = u.floatSlider;
      std::string text = "number   " + range(s.validMin, s.validMax, s.sliderMin, s.sliderMax) +
                         ", default " + number(s.defaultValue);
      if (s.displayFlags & PF_ValueDisplay_Percent) text += ", shown as a percentage";
      if (s.displayFlags & PF_ValueDisplay_PixelValue) text += ", a pixel value (1 is full white)";
      return text;
    }
    case PF_Param_IntSlider: {
      const PF_IntSliderParam& s = u.intSlider;
      return "integer  " + range(s.validMin, s.validMax, s.sliderMin, s.sliderMax) + ", default " +
             number(s.defaultValue);
    }
    case PF_Param_FixedSlider: {
      const PF_FixedSliderParam& s = u.fixedSlider;
      return "number   " + range(s.validMin / 65536.0, s.validMax / 65536.0, s.sliderMin / 65536.0,
                                 s.sliderMax / 65536.0) +
             ", default " + fixed(s.defaultValue);
    }
    case PF_Param_Angle:
      return "angle    in degrees, default " + fixed(u.angle.defaultValue);
    case PF_Param_Point:
      return "point    x,y in layer pixels, default " + fixed(u.point.defaultXPercent) + "%, " +
             fixed(u.point.defaultYPercent) + "% of the layer's size";
    case PF_Param_Checkbox: {
      // A check box with both a name and a label answers to either.
      const bool labelled = e.def.name[0] && !e.label.empty();
      return std::string("on/off   ") + (labelled ? "labelled \"" + e.label + "\", " : "") +
             "default " + (u.checkbox.defaultValue ? "on" : "off");
    }
    case PF_Param_Popup: {
      std::string text = "choice   ";
      for (size_t c = 0; c < e.choices.size(); ++c) {
        text += (c ? " | \"" : "\"") + e.choices[c] + "\"";
        if (int32_t(c + 1) == u.popup.defaultValue) text += " (default)";
      }
      return text;
    }
    case PF_Param_Layer:
      return "layer    an image, sequence or movie: --layer \"" + host.params().panelName(index) +
             "=PATH\"";
    default:
      return "";
  }
}

std::unique_ptr<host::HeadlessHost> open(const std::string& module) {
  std::string error;
  std::unique_ptr<host::HeadlessHost> host = openModule(module, host::HostProfile{}, &error);
  if (!host) std::fprintf(stderr, "fogmill: %s\n", error.c_str());
  return host;
}

bool listKind(host::HeadlessHost& host, const Kinds& kinds, int kind) {
  std::vector<KindParam> params;
  std::string error;
  if (!surveyKind(host, kinds, kind, &params, &error)) {
    std::fprintf(stderr, "fogmill: %s\n", error.c_str());
    return false;
  }
  const auto& names = kinds.shortNames[size_t(kind - 1)];
  std::printf("%s  (--blur %s)\n", kinds.labels[size_t(kind - 1)].c_str(),
              names.empty() ? std::to_string(kind).c_str() : names.back().c_str());
  size_t width = 0;
  for (const KindParam& p : params) width = std::max(width, host.params().panelName(p.index).size());
  // Groups nest by panel order; the group ends the survey leaves out close them.
  int depth = 0;
  int32_t last = kinds.selector;
  for (const KindParam& p : params) {
    for (int32_t i = last + 1; i < p.index; ++i) {
      if (host.params().entry(i).def.type == PF_Param_GroupEnd && depth > 0) --depth;
    }
    last = p.index;
    const host::ParamEntry& e = host.params().entry(p.index);
    const std::string indent(size_t(2 + 2 * depth), ' ');
    const std::string name = host.params().panelName(p.index);
    if (e.def.type == PF_Param_GroupStart) {
      std::printf("%s%s:\n", indent.c_str(), name.c_str());
      ++depth;
      continue;
    }
    std::string line = describe(host, p.index);
    if (e.def.flags & PF_ParamFlag_CannotTimeVary) line += "; no keyframes";
    std::printf("%s%-*s  %s\n", indent.c_str(), int(width + 2 - 2 * depth), name.c_str(), line.c_str());
    if (!p.when.empty()) {
      std::printf("%s%-*s  only when %s\n", indent.c_str(), int(width + 2 - 2 * depth), "",
                  conditionText(host, p).c_str());
    }
  }
  return true;
}

}  // namespace

int runParams(const std::string& kindText, const std::string& module) {
  std::unique_ptr<host::HeadlessHost> host = open(module);
  if (!host) return 1;
  Kinds kinds;
  std::string error;
  if (!readKinds(*host, &kinds, &error)) {
    std::fprintf(stderr, "fogmill: %s\n", error.c_str());
    return 1;
  }
  if (!kindText.empty()) {
    const int kind = findKind(kinds, kindText, &error);
    if (!kind) {
      std::fprintf(stderr, "fogmill: %s\n", error.c_str());
      return 1;
    }
    return listKind(*host, kinds, kind) ? 0 : 1;
  }
  for (size_t k = 1; k <= kinds.labels.size(); ++k) {
    if (k > 1) std::printf("\n");
    if (!listKind(*host, kinds, int(k))) return 1;
  }
  return 0;
}

int runAbout(const std::string& module) {
  std::unique_ptr<host::HeadlessHost> host = open(module);
  if (!host) return 1;
  std::string text = host->aboutText();
  std::replace(text.begin(), text.end(), '\r', '\n');
  std::printf("%s\n\nversion: %s\nmodule:  %s\n", text.c_str(), moduleVersion(*host).c_str(),
              modulePath(module).c_str());
  return 0;
}

}  // namespace fm::cli
