// The user's parameter settings applied through the headless host: the blur kind, values by
// panel name within that kind (--set), and files on layer parameters (--layer).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/Kinds.h"
#include "host/HeadlessHost.h"

namespace fm::cli {

// A layer file opened for a layer parameter: the host layer, given the parameter's name.
using LayerOpener = std::function<std::shared_ptr<const host::Layer>(const std::string& path,
                                                                     std::string* error)>;

struct ParamSettings {
  std::string blur;                 // --blur; empty keeps the module's default kind
  std::vector<std::string> sets;    // --set "NAME=VALUE"
  std::vector<std::string> layers;  // --layer "NAME=PATH"
};

// Applies the settings in order: kind, values, layers. False with a message a user can act on:
// an unknown name lists the kind's parameters and the closest one; a bad value says why (the
// valid range, the choices).
bool applySettings(host::HeadlessHost& host, const ParamSettings& settings,
                   const LayerOpener& openLayer, std::string* error);

// The edit distance between two names, ignoring case.
size_t nameDistance(const std::string& a, const std::string& b);

}  // namespace fm::cli
