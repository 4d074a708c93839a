// Parameter values written as text, the way a user gives them: a popup's choice label, an
// angle in degrees, a check box on or off, a point as x,y in layer pixels, a slider's number.
#pragma once

#include <string>

#include "host/EffectInterface.h"
#include "host/ParamStore.h"

namespace fm::host {

// The value block of entry with text as its value; false with the reason when text is no
// valid value of it. name is how messages call the parameter.
bool parseParamText(const ParamEntry& entry, const std::string& name, const std::string& text,
                    PF_ParamValue* value, std::string* error);

}  // namespace fm::host
