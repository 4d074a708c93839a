// The render scale (downsampleX, downsampleY, pixelAspect): lengths given in layer pixels at
// full resolution become sx = downsampleX / pixelAspect pixels across and sy = downsampleY down.
#pragma once

namespace fm {

// Pixel aspects at or below 1e-6 count as square; written so that NaN does too.
inline double pixelAspectOf(double par) { return par > 1e-6 ? par : 1.0; }

inline double scaleX(const double scale[3]) { return scale[0] / pixelAspectOf(scale[2]); }
inline double scaleY(const double scale[3]) { return scale[1]; }

}  // namespace fm
