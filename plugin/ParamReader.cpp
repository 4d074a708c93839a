#include "plugin/ParamReader.h"

#include <cmath>
#include <cstring>

namespace fm {

double readParam(const PF_InData* in, int32_t index, double fallback) {
  if (!in || !in->interact.checkoutParam) return fallback;
  PF_ParamDef def;
  std::memset(&def, 0, sizeof(def));
  if (in->interact.checkoutParam(in->effect, index, in->currentTime, in->timeStep, in->timeScale,
                                 &def) != PF_Err_None) {
    return fallback;
  }
  double value = fallback;
  switch (def.type) {
    case PF_Param_IntSlider:
      value = def.u.intSlider.value;
      break;
    case PF_Param_Popup:
      value = def.u.popup.value;
      break;
    case PF_Param_Angle:
      value = def.u.angle.value / 65536.0;
      break;
    case PF_Param_FixedSlider:
      value = def.u.fixedSlider.value / 65536.0;
      break;
    case PF_Param_Checkbox:
      value = def.u.checkbox.value ? 1.0 : 0.0;
      break;
    case PF_Param_FloatSlider:
      value = def.u.floatSlider.value;
      break;
    default:
      break;
  }
  if (in->interact.checkinParam) in->interact.checkinParam(in->effect, &def);
  return std::isfinite(value) ? value : fallback;
}

}  // namespace fm
