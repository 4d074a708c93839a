// Filling the render settings record from the parameters and the host's render geometry.
#pragma once

#include "engine/Rect.h"
#include "engine/RenderSettings.h"
#include "host/EffectInterface.h"

namespace fm {

// The fields of the chosen blur kind, each read at the current time and clamped to its range;
// the fields of the other kinds keep the record's initial values, which are the defaults.
void readKindSettings(const PF_InData* in, RenderSettings& s);

// The render scale (downsampling and pixel aspect), the quality and the bit depth.
void readRenderGeometry(const PF_InData* in, int32_t bitDepth, RenderSettings& s);

// The rectangle of a layer of width x height full-resolution pixels at the record's downsampling.
Rect layerRect(int32_t width, int32_t height, const RenderSettings& s);

}  // namespace fm
