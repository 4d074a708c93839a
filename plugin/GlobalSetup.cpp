#include "plugin/Commands.h"
#include "plugin/PropertyList.h"
#include "plugin/Registration.h"

namespace fm {

PF_Err globalSetup(const PF_InData* in, PF_OutData* out) {
  if (!out) return PF_Err_BadCallbackParam;
  out->version = kEffectVersion;
  out->outFlags = kOutFlags;
  out->outFlags2 = kOutFlags2;
  registerWithHost(in);
  return PF_Err_None;
}

}  // namespace fm
