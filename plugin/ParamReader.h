// Reading parameter values for rendering.
#pragma once

#include "host/EffectInterface.h"

namespace fm {

// The value of parameter index at the current time as a double: integer slider and popup
// their integer, angle and fixed slider the 16.16 value / 65536, check box 0 or 1, float
// slider its value. fallback when the checkout fails, the type holds no number or the value
// is not finite.
double readParam(const PF_InData* in, int32_t index, double fallback);

}  // namespace fm
