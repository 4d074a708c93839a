// The host's side of the interface as C function tables: the interaction callbacks and suite
// access of the input record, over HostInstance.
#pragma once

#include "host/EffectInterface.h"

namespace fm::host {

PF_InteractCallbacks interactCallbacks();
PF_SuiteAccess suiteAccess();

}  // namespace fm::host
