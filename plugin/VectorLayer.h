// Whether the layer the effect sits on is drawn from vectors (text, shapes, or a layer that is
// continuously rasterised): such layers can have pixels outside their nominal bounds.
#pragma once

#include "host/EffectInterface.h"

namespace fm {

// False in Premiere Pro and wherever the host cannot say.
bool isVectorLayer(const PF_InData* in);

}  // namespace fm
