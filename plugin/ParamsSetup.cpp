#include "plugin/Commands.h"
#include "plugin/ParamTable.h"

namespace fm {

PF_Err setUpParams(const PF_InData* in, PF_OutData* out) {
  if (!in || !out || !in->interact.addParam) return PF_Err_BadCallbackParam;
  for (int32_t index = kParamBlurType; index < kParamCount; ++index) {
    const PF_ParamDef def = makeParamDef(paramRow(index));
    if (const PF_Err err = in->interact.addParam(in->effect, -1, &def)) return err;
  }
  out->paramCount = kParamCount;
  return PF_Err_None;
}

}  // namespace fm
