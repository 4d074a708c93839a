#include "plugin/Registration.h"

#include <atomic>

#include "plugin/EffectIdentity.h"
#include "plugin/SuiteRef.h"

namespace fm {
namespace {

std::atomic<AEGP_PluginId> pluginId{0};
std::atomic<bool> registered{false};

}  // namespace

void registerWithHost(const PF_InData* in) {
  if (!in || in->appId == PF_AppId_PremierePro) return;
  SuiteRef<AEGP_UtilitySuite13> utility(in, AEGP_UtilitySuite, AEGP_UtilitySuiteVersion);
  if (!utility || !utility->registerWithRegistry) return;
  AEGP_PluginId id = 0;
  if (utility->registerWithRegistry(in->host, FM_EFFECT_NAME, &id) != PF_Err_None) return;
  pluginId.store(id, std::memory_order_relaxed);
  registered.store(true, std::memory_order_release);
}

bool registeredPluginId(AEGP_PluginId* id) {
  if (!registered.load(std::memory_order_acquire)) return false;
  *id = pluginId.load(std::memory_order_relaxed);
  return true;
}

}  // namespace fm
