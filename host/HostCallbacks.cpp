#include "host/HostCallbacks.h"

#include <cmath>
#include <cstring>
#include <string>

#include "host/CommandScope.h"
#include "host/FrameState.h"
#include "host/HostInstance.h"
#include "host/HostWorld.h"

namespace fm::host {
namespace {

HostInstance* instanceOf(PF_EffectRef effect) {
  Handle* h = findHandle(effect, HandleKind::Effect);
  return h ? h->owner : nullptr;
}

// A point's coordinate, given in full-resolution layer pixels, at a downsampling ratio.
PF_Fixed scaled(PF_Fixed v, const PF_Ratio& r) {
  return PF_Fixed(std::llround(double(v) * r.num / r.den));
}

// ---------------------------------------------------------------- interaction callbacks

PF_Err checkoutParam(PF_EffectRef effect, int32_t index, int32_t time, int32_t timeStep,
                     uint32_t timeScale, PF_ParamDef* param) {
  (void)timeStep;
  Handle* h = findHandle(effect, HandleKind::Effect);
  if (!h || !param || timeScale == 0) return PF_Err_BadCallbackParam;
  HostInstance* host = h->owner;
  if (index < 0 || index >= host->params().count()) return PF_Err_BadCallbackParam;
  const auto refused = host->profile().refusedCheckouts.find(index);
  if (refused != host->profile().refusedCheckouts.end()) return refused->second;
  *param = host->params().definition(index, frameAt(host->profile(), time, timeScale));
  // Points are handed out in the pixels of the render they are read for.
  const FrameState* frame = h->scope ? h->scope->frame() : nullptr;
  if (frame && param->type == PF_Param_Point) {
    param->u.point.x = scaled(param->u.point.x, frame->request().downsampleX);
    param->u.point.y = scaled(param->u.point.y, frame->request().downsampleY);
  }
  tally(h, [](HostStats& s) { ++s.paramCheckouts; });
  return PF_Err_None;
}

PF_Err checkinParam(PF_EffectRef effect, PF_ParamDef* param) {
  Handle* h = findHandle(effect, HandleKind::Effect);
  if (!h || !param) return PF_Err_BadCallbackParam;
  HostInstance* host = h->owner;
  bool balanced = true;
  host->count([&](HostStats& s) {
    balanced = s.paramCheckouts > 0;
    if (balanced) --s.paramCheckouts;
  });
  if (!balanced) {
    host->fault("a parameter was checked in that was not checked out");
    return PF_Err_BadCallbackParam;
  }
  if (h->scope) h->scope->count([](HostStats& s) { --s.paramCheckouts; });
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
  return host->abortDue() ? PF_Interrupt_Cancel : PF_Err_None;
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

PF_Err getLayerObjectType(AEGP_LayerRef layer, int32_t* objectType) {
  Handle* h = findHandle(layer, HandleKind::Layer);
  if (!h || !objectType) return PF_Err_BadCallbackParam;
  *objectType = h->owner->effectLayerInfo().objectType;
  return PF_Err_None;
}

PF_Err getLayerFlags(AEGP_LayerRef layer, uint32_t* layerFlags) {
  Handle* h = findHandle(layer, HandleKind::Layer);
  if (!h || !layerFlags) return PF_Err_BadCallbackParam;
  *layerFlags = h->owner->effectLayerInfo().flags;
  return PF_Err_None;
}

PF_Err getNewEffectForEffect(AEGP_PluginId pluginId, PF_EffectRef effect,
                             AEGP_EffectRef* effectObject) {
  Handle* h = findHandle(effect, HandleKind::Effect);
  AEGP_PluginId registered = 0;
  if (!h || !effectObject || !h->owner->registeredId(&registered) || pluginId != registered) {
    return PF_Err_BadCallbackParam;
  }
  *effectObject = reinterpret_cast<AEGP_EffectRef>(
      h->owner->makeHandle(HandleKind::EffectObject, -1, h->scope));
  tally(h, [](HostStats& s) { ++s.liveEffectObjects; });
  return PF_Err_None;
}

PF_Err disposeEffect(AEGP_EffectRef effectObject) {
  Handle* h = findHandle(effectObject, HandleKind::EffectObject);
  if (!h) return PF_Err_BadCallbackParam;
  tally(h, [](HostStats& s) { --s.liveEffectObjects; });
  h->owner->dropHandle(h);
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
  *stream = reinterpret_cast<AEGP_StreamRef>(
      host->makeHandle(HandleKind::Stream, paramIndex, h->scope));
  tally(h, [](HostStats& s) {
    ++s.liveStreams;
    ++s.streamsMade;
  });
  return PF_Err_None;
}

PF_Err disposeStream(AEGP_StreamRef stream) {
  Handle* h = findHandle(stream, HandleKind::Stream);
  if (!h) return PF_Err_BadCallbackParam;
  tally(h, [](HostStats& s) { --s.liveStreams; });
  h->owner->dropHandle(h);
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

PF_Err getPixelFormat(const PF_World* world, uint32_t* pixelFormat) {
  if (!world || !pixelFormat || !pixelFormatOfWorld(world, pixelFormat)) {
    return PF_Err_BadCallbackParam;
  }
  return PF_Err_None;
}

// The GPU device suite, offered only by a host with a device. Device memory is counted against the
// command that took it, so memory a render leaves behind is a fault of that render.
PF_Err getDeviceInfo(PF_EffectRef effect, uint32_t deviceIndex, PF_GpuDeviceInfo* info) {
  HostInstance* host = instanceOf(effect);
  if (!host || !info || !host->gpuDevice() || deviceIndex != 0) return PF_Err_BadCallbackParam;
  *info = host->gpuDevice()->info();
  if (host->profile().gpuFramework) info->framework = host->profile().gpuFramework;
  return PF_Err_None;
}

PF_Err allocateDeviceMemory(PF_EffectRef effect, uint32_t deviceIndex, uint64_t bytes, void** memory) {
  Handle* h = findHandle(effect, HandleKind::Effect);
  if (!h || !memory || deviceIndex != 0 || bytes == 0) return PF_Err_BadCallbackParam;
  if (!h->owner->allocateDeviceMemory(bytes, memory)) return PF_Err_OutOfMemory;
  tally(h, [](HostStats& s) {
    ++s.deviceMemoryHeld;
    ++s.deviceAllocations;
  });
  return PF_Err_None;
}

PF_Err freeDeviceMemory(PF_EffectRef effect, uint32_t deviceIndex, void* memory) {
  Handle* h = findHandle(effect, HandleKind::Effect);
  if (!h || deviceIndex != 0) return PF_Err_BadCallbackParam;
  if (!h->owner->releaseDeviceMemory(memory)) {
    h->owner->fault("device memory freed that the host did not hand out");
    return PF_Err_BadCallbackParam;
  }
  tally(h, [](HostStats& s) { --s.deviceMemoryHeld; });
  return PF_Err_None;
}

PF_Err getGpuWorldData(PF_EffectRef effect, const PF_World* world, void** data) {
  if (!instanceOf(effect) || !world || !data || !deviceMemoryOfWorld(world, data)) return PF_Err_BadCallbackParam;
  return PF_Err_None;
}

// Runs on the threads of the instance whose command is running on the calling thread; a call
// from outside any command runs its jobs on the calling thread alone.
PF_Err iterateGeneric(int32_t jobCount, void* context, PF_IterateJob job) {
  CommandScope* scope = CommandScope::current();
  if (!scope) {
    static WorkerPool callingThreadOnly(1);
    return callingThreadOnly.iterate(jobCount, context, job);
  }
  HostInstance& host = scope->instance();
  host.count([](HostStats& s) { ++s.iterations; });
  return host.workers().iterate(jobCount, context, job);
}

const PF_ParamUtilsSuite3 paramUtilsSuite = {updateParamUi};
const PF_WorldSuite2 worldSuite = {getPixelFormat};
const PF_Iterate8Suite1 iterateSuite = {iterateGeneric};
const AEGP_LayerSuite15 layerSuite = {getLayerObjectType, getLayerFlags};
const AEGP_UtilitySuite13 utilitySuite = {registerWithRegistry};
const AEGP_PFInterfaceSuite1 pfInterfaceSuite = {getEffectLayer, getNewEffectForEffect};
const AEGP_StreamSuite11 streamSuite = {getNewEffectStreamByIndex, disposeStream};
const AEGP_DynamicStreamSuite5 dynamicStreamSuite = {getDynamicStreamFlags, setDynamicStreamFlag};
const AEGP_EffectSuite4 effectSuite = {disposeEffect};
const PF_GpuDeviceSuite1 gpuDeviceSuite = {getDeviceInfo, allocateDeviceMemory, freeDeviceMemory,
                                           getGpuWorldData};

struct OfferedSuite {
  const char* name;
  int32_t version;
  const void* suite;
};

const OfferedSuite offeredSuites[] = {
    {PF_ParamUtilsSuite, PF_ParamUtilsSuiteVersion, &paramUtilsSuite},
    {PF_WorldSuite, PF_WorldSuiteVersion, &worldSuite},
    {PF_Iterate8Suite, PF_Iterate8SuiteVersion, &iterateSuite},
    {AEGP_LayerSuite, AEGP_LayerSuiteVersion, &layerSuite},
    {AEGP_UtilitySuite, AEGP_UtilitySuiteVersion, &utilitySuite},
    {AEGP_PFInterfaceSuite, AEGP_PFInterfaceSuiteVersion, &pfInterfaceSuite},
    {AEGP_StreamSuite, AEGP_StreamSuiteVersion, &streamSuite},
    {AEGP_DynamicStreamSuite, AEGP_DynamicStreamSuiteVersion, &dynamicStreamSuite},
    {AEGP_EffectSuite, AEGP_EffectSuiteVersion, &effectSuite},
    {PF_GpuDeviceSuite, PF_GpuDeviceSuiteVersion, &gpuDeviceSuite},
};

PF_Err acquireSuite(PF_HostRef hostRef, const char* name, int32_t version, const void** suite) {
  Handle* h = findHandle(hostRef, HandleKind::Host);
  if (!h || !name || !suite) return PF_Err_BadCallbackParam;
  *suite = nullptr;
  if (!h->owner->offers(name)) return PF_Err_SuiteNotFound;
  if (std::strcmp(name, PF_GpuDeviceSuite) == 0 && !h->owner->gpuDevice()) return PF_Err_SuiteNotFound;
  for (const OfferedSuite& offered : offeredSuites) {
    if (std::strcmp(offered.name, name) == 0 && offered.version == version) {
      h->owner->noteAcquired(name, version);
      if (h->scope) {
        h->scope->noteAcquired(name, version);
        h->scope->count([](HostStats& s) { ++s.suitesHeld; });
      }
      *suite = offered.suite;
      return PF_Err_None;
    }
  }
  return PF_Err_SuiteNotFound;
}

PF_Err releaseSuite(PF_HostRef hostRef, const char* name, int32_t version) {
  Handle* h = findHandle(hostRef, HandleKind::Host);
  if (!h || !name) return PF_Err_BadCallbackParam;
  const bool held = h->scope ? h->scope->noteReleased(name, version) : true;
  if (!held || !h->owner->noteReleased(name, version)) {
    h->owner->fault(std::string("released \"") + name + "\" version " + std::to_string(version) +
                    " without holding it");
    return PF_Err_BadCallbackParam;
  }
  if (h->scope) h->scope->count([](HostStats& s) { --s.suitesHeld; });
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
