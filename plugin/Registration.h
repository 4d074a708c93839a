// The module's entry in the host's plug-in registry, made at global setup and process-wide.
#pragma once

#include "host/EffectInterface.h"

namespace fm {

// Registers under the effect's name unless the host is Premiere Pro or offers no registry.
// Failure is not an error: the features that need the registry stay off.
void registerWithHost(const PF_InData* in);

// The plug-in id the registry returned; false when the module is not registered.
bool registeredPluginId(AEGP_PluginId* id);

}  // namespace fm
