#include "cli/ParamSetup.h"

#include <algorithm>
#include <cctype>

namespace fm::cli {
namespace {

std::string lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trimmed(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// NAME=VALUE at the first '=': names never hold one, values may.
bool splitSetting(const std::string& text, const char* option, const char* valueWord,
                  std::string* name, std::string* value, std::string* error) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos || trimmed(text.substr(0, eq)).empty()) {
    if (error) *error = std::string(option) + " \"" + text + "\": expected \"NAME=" + valueWord + "\"";
    return false;
  }
  *name = trimmed(text.substr(0, eq));
  *value = text.substr(eq + 1);
  return true;
}

bool answersTo(const host::HeadlessHost& host, int32_t index, const std::string& name) {
  const host::ParamEntry& e = host.params().entry(index);
  const std::string wanted = lower(name);
  return lower(panelName(host, index)) == wanted ||
         (e.def.type == PF_Param_Checkbox && !e.label.empty() && lower(e.label) == wanted);
}

// The parameter of the chosen kind that a name addresses, or -1 with a message that lists the
// kind's parameters and names the closest.
int32_t findInKind(host::HeadlessHost& host, const Kinds& kinds, const std::string& name,
                   std::string* error) {
  std::string why;
  const int32_t kind = host.params().entry(kinds.selector).def.u.popup.value;
  std::vector<KindParam> params;
  if (!surveyKind(host, kinds, kind, &params, &why)) {
    if (error) *error = why;
    return -1;
  }
  if (answersTo(host, kinds.selector, name)) return kinds.selector;
  std::vector<std::string> names;
  for (const KindParam& p : params) {
    if (host.params().entry(p.index).def.type == PF_Param_GroupStart) continue;
    if (answersTo(host, p.index, name)) return p.index;
    names.push_back(panelName(host, p.index));
  }
  if (error) {
    const std::string kindLabel = kinds.labels[size_t(kind - 1)];
    *error = kindLabel + " has no parameter \"" + name + "\"";
    // The kinds that have it, when the wrong one is chosen.
    std::string owners;
    for (int other = 1; other <= int(kinds.labels.size()); ++other) {
      std::vector<KindParam> theirs;
      if (other == kind || !surveyKind(host, kinds, other, &theirs, &why)) continue;
      for (const KindParam& p : theirs) {
        if (!answersTo(host, p.index, name)) continue;
        const auto& shortNames = kinds.shortNames[size_t(other - 1)];
        owners += std::string(owners.empty() ? "" : " or ") + "--blur " +
                  (shortNames.empty() ? std::to_string(other) : shortNames.back());
        break;
      }
    }
    if (!owners.empty()) {
      *error += "; choose " + owners + " for it";
    } else if (!names.empty()) {
      const auto closest = std::min_element(names.begin(), names.end(), [&](const auto& a, const auto& b) {
        return nameDistance(a, name) < nameDistance(b, name);
      });
      *error += "; the closest is \"" + *closest + "\"";
    }
    if (!names.empty()) {
      *error += ". Its parameters: ";
      for (size_t i = 0; i < names.size(); ++i) *error += (i ? ", \"" : "\"") + names[i] + "\"";
    }
    *error += ". See: fogmill params " + (kinds.shortNames[size_t(kind - 1)].empty()
                                               ? std::to_string(kind)
                                               : kinds.shortNames[size_t(kind - 1)].back());
  }
  return -1;
}

}  // namespace

size_t nameDistance(const std::string& a, const std::string& b) {
  const std::string x = lower(a), y = lower(b);
  std::vector<size_t> row(y.size() + 1);
  for (size_t j = 0; j <= y.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= x.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= y.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[y.size()];
}

bool applySettings(host::HeadlessHost& host, const ParamSettings& settings,
                   const LayerOpener& openLayer, std::string* error) {
  Kinds kinds;
  if (!readKinds(host, &kinds, error)) return false;
  std::string why;
  if (!settings.blur.empty()) {
    const int kind = findKind(kinds, settings.blur, &why);
    if (!kind || !host.setParam(kinds.selector, kinds.labels[size_t(kind - 1)], &why)) {
      if (error) *error = "--blur " + settings.blur + ": " + why;
      return false;
    }
  }
  for (const std::string& text : settings.sets) {
    std::string name, value;
    if (!splitSetting(text, "--set", "VALUE", &name, &value, error)) return false;
    const int32_t index = findInKind(host, kinds, name, &why);
    if (index >= 0 && host.params().entry(index).def.type == PF_Param_Layer) {
      why = "\"" + panelName(host, index) + "\" is a layer: give it a file with --layer \"" +
            panelName(host, index) + "=PATH\"";
    } else if (index >= 0 && host.setParam(index, value, &why)) {
      continue;
    }
    if (error) *error = "--set \"" + text + "\": " + why;
    return false;
  }
  for (const std::string& text : settings.layers) {
    std::string name, path;
    if (!splitSetting(text, "--layer", "PATH", &name, &path, error)) return false;
    const int32_t index = findInKind(host, kinds, name, &why);
    std::shared_ptr<const host::Layer> layer;
    if (index >= 0 && host.params().entry(index).def.type != PF_Param_Layer) {
      why = "\"" + panelName(host, index) + "\" takes a value, not a file: use --set";
    } else if (index >= 0 && (layer = openLayer(trimmed(path), &why)) &&
               host.attachLayer(index, layer, &why)) {
      continue;
    }
    if (error) *error = "--layer \"" + text + "\": " + why;
    return false;
  }
  return true;
}

}  // namespace fm::cli
