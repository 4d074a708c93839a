#include "host/HostCallbacks.h"

#include <cstring>
#include <string>

#include "host/HostInstance.h"

namespace fm::host {
namespace {

HostInstance* instanceOf(PF_EffectRef effect) {
  Handle* h = findHandle(effect, HandleKind::Effect);
  return h ? h->owner : nullptr;
}

// ---------------------------------------------------------------- interaction callbacks

PF_Err checkoutParam(PF_EffectRef effect, int32_t index, int32_t time, int32_t timeStep,
                     uint32_t timeScale, PF_ParamDef* param) {
  (void)time;
  (void)timeStep;
  HostInstance* host = instanceOf(effect);
  if (!host || !param || timeScale == 0) return PF_Err_BadCallbackParam;
  if (index < 0 || index >= host->params().count()) return PF_Err_BadCallbackParam;
  const auto refused = host->profile().refusedCheckouts.find(index);
  if (refused != host->profile().refusedCheckouts.end()) return refused->second;
  *param = host->params().definition(index);
  host->count([](HostStats& s) { ++s.paramCheckouts; });
  return PF_Err_None;
}

PF_Err checkinParam(PF_EffectRef effect, PF_ParamDef* param) {
  HostInstance* host = instanceOf(effect);
  if (!host || !param) return PF_Err_BadCallbackParam;
  bool balanced = true;
  host->count([&](HostStats& s) {
    balanced = s.paramCheckouts > 0;
    if (balanced) --s.paramCheckouts;
  });
  if (!balanced) {
    host->fault("a parameter was checked in that was not checked out");
    return PF_Err_BadCallbackParam;
  }
  return PF_Err_None;
}

PF_Err addParam(PF_EffectRef effect, int32_t index, const PF_ParamDef* def) {
  HostInstance* host = instanceOf(effect);
  if (!host || !def) return PF_Err_BadCallbackParam;
  ParamStore& params = host->params();
  if (params.count() == host->profile().refuseParamAt) return host->profile().addParamError;
  if (index != -1 && index != params.count()) {
    host->declarationError = "parameter declared at index " + std::to_string(index) +
                             " instead of appended at " + std::to_string(params.count());
    return PF_Err_BadCallbackParam;
  }
  if (!params.declare(*def, &host->declarationError)) {
    return def->type >= PF_Param_Layer && def->type <= PF_Param_GroupEnd
               ? PF_Err_BadCallbackParam
               : PF_Err_UnrecognizedParamType;
  }
  return PF_Err_None;
}

PF_Err abortQuery(PF_EffectRef effect) {
  HostInstance* host = instanceOf(effect);
  if (!host) return PF_Err_BadCallbackParam;
  host->count([](HostStats& s) { ++s.abortQueries; });
  return host->abortRequested.load() ? PF_Interrupt_Cancel : PF_Err_None;
}

// ---------------------------------------------------------------- suites

PF_Err updateParamUi(PF_EffectRef effect, int32_t index, const PF_ParamDef* def) {
  HostInstance* host = instanceOf(effect);
  if (!host || !def || index < 0 || index >= host->params().count() ||
      def->type != host->params().entry(index).def.type) {
    return PF_Err_BadCallbackParam;
  }
  host->count([](HostStats& s) { ++s.uiRefreshes; });
  return PF_Err_None;
}

PF_Err registerWithRegistry(PF_HostRef hostRef, const char* name, AEGP_PluginId* pluginId) {
  Handle* h = findHandle(hostRef, HandleKind::Host);
  if (!h || !name || !pluginId) return PF_Err_BadCallbackParam;
  *pluginId = h->owner->registerPlugin(name);
  return PF_Err_None;
}

PF_Err getEffectLayer(PF_EffectRef effect, AEGP_LayerRef* layer) {
  HostInstance* host = instanceOf(effect);
  if (!host || !layer) return PF_Err_BadCallbackParam;
  *layer = host->layerRef();
  return PF_Err_None;
}

PF_Err getNewEffectForEffect(AEGP_PluginId pluginId, PF_EffectRef effect,
                             AEGP_EffectRef* effectObject) {
  HostInstance* host = instanceOf(effect);
  AEGP_PluginId registered = 0;
  if (!host || !effectObject || !host->registeredId(&registered) || pluginId != registered) {
    return PF_Err_BadCallbackParam;
  }
  *effectObject = reinterpret_cast<AEGP_EffectRef>(host->makeHandle(HandleKind::EffectObject, -1));
  host->count([](HostStats& s) { ++s.liveEffectObjects; });
  return PF_Err_None;
}

PF_Err disposeEffect(AEGP_EffectRef effectObject) {
  Handle* h = findHandle(effectObject, HandleKind::EffectObject);
  if (!h) return PF_Err_BadCallbackParam;
  HostInstance* host = h->owner;
  host->dropHandle(h);
  host->count([](HostStats& s) { --s.liveEffectObjects; });
  return PF_Err_None;
}

PF_Err getNewEffectStreamByIndex(AEGP_PluginId pluginId, AEGP_EffectRef effectObject,
                                 int32_t paramIndex, AEGP_StreamRef* stream) {
  Handle* h = findHandle(effectObject, HandleKind::EffectObject);
  if (!h || !stream) return PF_Err_BadCallbackParam;
  HostInstance* host = h->owner;
  AEGP_PluginId registered = 0;
  if (!host->registeredId(&registered) || pluginId != registered || paramIndex < 0 ||
      paramIndex >= host->params().count()) {
    return PF_Err_BadCallbackParam;
  }
  *stream = reinterpret_cast<AEGP_StreamRef>(host->makeHandle(HandleKind::Stream, paramIndex));
  host->count([](HostStats& s) {
    ++s.liveStreams;
    ++s.streamsMade;
  });
  return PF_Err_None;
}

PF_Err disposeStream(AEGP_StreamRef stream) {
  Handle* h = findHandle(stream, HandleKind::Stream);
  if (!h) return PF_Err_BadCallbackParam;
  HostInstance* host = h->owner;
  host->dropHandle(h);
  host->count([](HostStats& s) { --s.liveStreams; });
  return PF_Err_None;
}

PF_Err getDynamicStreamFlags(AEGP_StreamRef stream, uint32_t* flags) {
  Handle* h = findHandle(stream, HandleKind::Stream);
  if (!h || !flags) return PF_Err_BadCallbackParam;
  HostInstance* host = h->owner;
  *flags = host->params().entry(h->paramIndex).streamFlags;
  if (!host->profile().reportsHiddenFlag) *flags &= ~AEGP_DynStreamFlag_Hidden;
  host->count([](HostStats& s) { ++s.flagReads; });
  return PF_Err_None;
}

PF_Err setDynamicStreamFlag(AEGP_StreamRef stream, uint32_t flag, int32_t undoable, int32_t on) {
  Handle* h = findHandle(stream, HandleKind::Stream);
  if (!h || flag != AEGP_DynStreamFlag_Hidden) return PF_Err_BadCallbackParam;
  HostInstance* host = h->owner;
  const uint32_t flags = host->params().entry(h->paramIndex).streamFlags;
  host->params().setStreamFlags(h->paramIndex, on ? flags | flag : flags & ~flag);
  host->count([&](HostStats& s) {
    ++s.flagWrites;
    if (undoable) ++s.undoableFlagWrites;
  });
  return PF_Err_None;
}

const PF_ParamUtilsSuite3 paramUtilsSuite = {updateParamUi};
const AEGP_UtilitySuite13 utilitySuite = {registerWithRegistry};
const AEGP_PFInterfaceSuite1 pfInterfaceSuite = {getEffectLayer, getNewEffectForEffect};
const AEGP_StreamSuite11 streamSuite = {getNewEffectStreamByIndex, disposeStream};
const AEGP_DynamicStreamSuite5 dynamicStreamSuite = {getDynamicStreamFlags, setDynamicStreamFlag};
const AEGP_EffectSuite4 effectSuite = {disposeEffect};

struct OfferedSuite {
  const char* name;
  int32_t version;
  const void* suite;
};

const OfferedSuite offeredSuites[] = {
    {PF_ParamUtilsSuite, PF_ParamUtilsSuiteVersion, &paramUtilsSuite},
    {AEGP_UtilitySuite, AEGP_UtilitySuiteVersion, &utilitySuite},
    {AEGP_PFInterfaceSuite, AEGP_PFInterfaceSuiteVersion, &pfInterfaceSuite},
    {AEGP_StreamSuite, AEGP_StreamSuiteVersion, &streamSuite},
    {AEGP_DynamicStreamSuite, AEGP_DynamicStreamSuiteVersion, &dynamicStreamSuite},
    {AEGP_EffectSuite, AEGP_EffectSuiteVersion, &effectSuite},
};

PF_Err acquireSuite(PF_HostRef hostRef, const char* name, int32_t version, const void** suite) {
  Handle* h = findHandle(hostRef, HandleKind::Host);
  if (!h || !name || !suite) return PF_Err_BadCallbackParam;
  *suite = nullptr;
  if (!h->owner->offers(name)) return PF_Err_SuiteNotFound;
  for (const OfferedSuite& offered : offeredSuites) {
    if (std::strcmp(offered.name, name) == 0 && offered.version == version) {
      h->owner->noteAcquired(name, version);
      *suite = offered.suite;
      return PF_Err_None;
    }
  }
  return PF_Err_SuiteNotFound;
}

PF_Err releaseSuite(PF_HostRef hostRef, const char* name, int32_t version) {
  Handle* h = findHandle(hostRef, HandleKind::Host);
  if (!h || !name) return PF_Err_BadCallbackParam;
  if (!h->owner->noteReleased(name, version)) {
    h->owner->fault(std::string("released \"") + name + "\" version " + std::to_string(version) +
                    " without holding it");
    return PF_Err_BadCallbackParam;
  }
  return PF_Err_None;
}

}  // namespace

PF_InteractCallbacks interactCallbacks() {
  return {checkoutParam, checkinParam, addParam, abortQuery};
}

PF_SuiteAccess suiteAccess() {
  return {acquireSuite, releaseSuite};
}

}  // namespace fm::host
