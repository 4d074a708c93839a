#include <cstdio>

#include "plugin/Commands.h"
#include "plugin/EffectIdentity.h"

namespace fm {

PF_Err about(PF_OutData* out) {
  if (!out) return PF_Err_BadCallbackParam;
  // The host breaks lines at carriage returns.
  std::snprintf(out->message, sizeof(out->message),
                "%s v%s\r\r"
                "Vector, Gaussian, Camera Lens, Box, Radial and Motion Blur (directional or "
                "tracked from the footage's own motion) in one GPU-accelerated effect.\r\r"
                "%s, %s\r%s",
                FM_EFFECT_NAME, FM_VERSION_TEXT, FM_MAKER_NAME, FM_COPYRIGHT_YEAR, FM_MAKER_URL);
  return PF_Err_None;
}

}  // namespace fm
