// Parameter values written as text, the way a user gives them: a popup's choice label, an
// angle in degrees, a check box on or off, a point as x,y in layer pixels, a slider's number.
#pragma once

#include <string>
#include <vector>

#include "host/EffectInterface.h"
#include "host/ParamStore.h"

namespace fm::host {

// The value block of entry with text as its value; false with the reason when text is no
// valid value of it. name is how messages call the parameter.
bool parseParamText(const ParamEntry& entry, const std::string& name, const std::string& text,
                    PF_ParamValue* value, std::string* error);

// Whether text gives keyframes, "VALUE@FRAME,VALUE@FRAME...", rather than one value.
bool hasKeyframes(const std::string& text);

// Keyframes from text such as "0@1,40@50" or, for a point, "0,0@1,100,50@24": each value
// parsed as parseParamText does, at a frame number, sorted by frame. False with the reason when
// a value is invalid, a frame is not a number, or two keys share a frame.
bool parseParamKeys(const ParamEntry& entry, const std::string& name, const std::string& text,
                    std::vector<ParamKey>* keys, std::string* error);

}  // namespace fm::host
