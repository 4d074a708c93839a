// The blur kinds and their parameters, as the module declares them: the kinds are the choices
// of "Blur Type"; a kind's parameters are those the module shows while it is chosen, some only
// for certain values of the other supervised choices ("Motion Blur Type", "Output").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/HeadlessHost.h"

namespace fm::cli {

struct Kinds {
  int32_t selector = -1;                         // the index of "Blur Type"
  std::vector<std::string> labels;               // its choices, kind 1 first
  std::vector<std::vector<std::string>> shortNames;  // per kind: "gaussian"; "camera", "lens"
};

// False with the reason when the module declares no "Blur Type".
bool readKinds(const host::HeadlessHost& host, Kinds* kinds, std::string* error);

// The kind text names: a short name, the label in any case, or the kind's number; 0 with the
// choices in *error when none.
int findKind(const Kinds& kinds, const std::string& text, std::string* error);

// "gaussian, vector, ..." and the like: the first short name of each kind.
std::string kindChoices(const Kinds& kinds);

// A parameter of a kind and the condition under which it shows.
struct KindParam {
  int32_t index = 0;
  // Values of other selectors it needs (selector index, its choices that show the parameter);
  // empty when it always shows with the kind.
  std::vector<std::pair<int32_t, std::vector<int32_t>>> when;
};

// The parameters a kind shows, in panel order (group ends and the kind selector left out),
// found by choosing the kind and every combination of the other supervised choices; those
// choices and the kind are set back as they were. False with the reason when the module
// refuses a change.
bool surveyKind(host::HeadlessHost& host, const Kinds& kinds, int kind,
                std::vector<KindParam>* params, std::string* error);

// "Motion Blur Type is "Tracked Motion Blur" and Output is "Motion Vectors"".
std::string conditionText(const host::HeadlessHost& host, const KindParam& param);

// A parameter as the panel names it; a check box without a name by its label.
inline std::string panelName(const host::HeadlessHost& host, int32_t index) {
  return host.params().panelName(index);
}

}  // namespace fm::cli
