// The effect's parameters as it declared them, with their current values and stream flags.
// The host keeps the definitions: everything above the module reads parameter names, ranges
// and choice labels from here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/EffectInterface.h"

namespace fm::host {

// A keyframe: the value a parameter holds at a frame (frame f lies f × the host profile's
// frame duration seconds into the composition).
struct ParamKey {
  double frame = 0;
  PF_ParamValue value;
};

struct ParamEntry {
  PF_ParamDef def;  // text pointers are filled in by ParamStore::definition
  std::string choicesText;
  std::vector<std::string> choices;  // a popup's labels, value 1 first
  std::string label;                 // a check box's label
  uint32_t streamFlags = 0;          // dynamic stream flags (AEGP_DynStreamFlag_*)
  bool changed = false;              // the value was set after declaration
  std::vector<ParamKey> keys;        // by frame; empty for a constant value
};

class ParamStore {
 public:
  // Starts over with index 0: the effect's own layer, of the given size.
  void reset(int32_t layerId, int32_t layerWidth, int32_t layerHeight);

  // Appends a definition, its default as the value; false with the reason when it is malformed.
  bool declare(const PF_ParamDef& def, std::string* error);

  // Once declaration is over: false when a group was left open.
  bool finish(std::string* error) const;

  int32_t count() const { return int32_t(entries_.size()); }
  const ParamEntry& entry(int32_t index) const { return entries_[size_t(index)]; }

  // The definition with its value at a frame, pointing at the store's texts; the pointers stay
  // valid until the next declaration.
  PF_ParamDef definition(int32_t index, double frame = 0) const;

  // A parameter's value at a frame: its constant value, or its keyframes' value there, linear
  // between keys for numbers, angles and points and held for choices and check boxes; before
  // the first key and after the last the nearest key's value.
  PF_ParamValue valueAt(int32_t index, double frame) const;

  // What the panel shows a parameter as: its name, or a check box's label when it has none.
  std::string panelName(int32_t index) const;

  // The parameter a panel name addresses (a check box also answers to its label). When several
  // share the name, the one shown for the chosen blur kind; -1 with the reason when there is
  // none or no single one.
  int32_t find(const std::string& name, std::string* error) const;

  // Replaces the value block of a parameter, as is, and drops its keyframes.
  void setValue(int32_t index, const PF_ParamValue& value);
  // Keyframes instead of a constant value, sorted by frame and at distinct frames.
  void setKeys(int32_t index, std::vector<ParamKey> keys);

  // The layer the effect is applied to has a new size: points still at their default (a
  // percentage of that size) follow it.
  void resizeLayer(int32_t layerWidth, int32_t layerHeight);

  void setStreamFlags(int32_t index, uint32_t flags) {
    entries_[size_t(index)].streamFlags = flags;
  }
  bool hidden(int32_t index) const {
    return (entry(index).streamFlags & AEGP_DynStreamFlag_Hidden) != 0;
  }

 private:
  void setDefaultPoint(PF_PointParam& point) const;

  std::vector<ParamEntry> entries_;
  int32_t layerWidth_ = 0, layerHeight_ = 0;
  int32_t openGroups_ = 0;
};

}  // namespace fm::host
