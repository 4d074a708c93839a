#include "host/FrameRender.h"

#include <chrono>
#include <cstring>
#include <new>

#include "host/CommandScope.h"
#include "host/FrameState.h"

namespace fm::host {
namespace {

// Host callbacks never let an exception into the module: running out of memory is the host's
// out-of-memory code.
template <class Call>
PF_Err guarded(Call&& call) noexcept {
  try {
    return call();
  } catch (...) {
    return PF_Err_OutOfMemory;
  }
}

// The frame of the render command that handed out this effect handle.
FrameState* frameOf(PF_EffectRef effect, Handle** handle) {
  *handle = findHandle(effect, HandleKind::Effect);
  return *handle && (*handle)->scope ? (*handle)->scope->frame() : nullptr;
}

PF_Err checkoutLayer(PF_EffectRef effect, int32_t paramIndex, int32_t checkoutId,
                     const PF_RenderRequest* request, int32_t time, int32_t, uint32_t timeScale,
                     PF_CheckoutResult* result) {
  Handle* h;
  FrameState* frame = frameOf(effect, &h);
  if (!frame || !request || !result || timeScale == 0) return PF_Err_BadCallbackParam;
  const auto& refused = h->owner->profile().refusedLayerCheckouts;
  if (const auto it = refused.find(checkoutId); it != refused.end()) return it->second;
  const PF_Err err = guarded([&] {
    return frame->checkoutLayer(paramIndex, checkoutId, request->rect, time, timeScale, result);
  });
  if (err == PF_Err_None) tally(h, [](HostStats& s) { ++s.layerCheckouts; });
  return err;
}

PF_Err mixInCacheKey(PF_EffectRef effect, uint32_t byteCount, const void* bytes) {
  Handle* h;
  FrameState* frame = frameOf(effect, &h);
  if (!frame || (byteCount && !bytes)) return PF_Err_BadCallbackParam;
  return guarded([&] {
    frame->mixCacheKey(bytes, byteCount);
    return PF_Err_None;
  });
}

PF_Err checkoutLayerPixels(PF_EffectRef effect, int32_t checkoutId, PF_World** pixels) {
  Handle* h;
  FrameState* frame = frameOf(effect, &h);
  if (!frame || !pixels) return PF_Err_BadCallbackParam;
  const PF_Err err = guarded([&] { return frame->checkoutPixels(checkoutId, pixels); });
  if (err == PF_Err_None) tally(h, [](HostStats& s) { ++s.pixelCheckouts; });
  return err;
}

PF_Err checkinLayerPixels(PF_EffectRef effect, int32_t checkoutId) {
  Handle* h;
  FrameState* frame = frameOf(effect, &h);
  if (!frame) return PF_Err_BadCallbackParam;
  if (frame->checkinPixels(checkoutId) != PF_Err_None) {
    h->owner->fault("layer pixels " + std::to_string(checkoutId) +
                    " checked in that were not checked out");
    return PF_Err_BadCallbackParam;
  }
  tally(h, [](HostStats& s) { --s.pixelCheckouts; });
  return PF_Err_None;
}

PF_Err checkoutOutput(PF_EffectRef effect, PF_World** output) {
  Handle* h;
  FrameState* frame = frameOf(effect, &h);
  if (!frame || !output) return PF_Err_BadCallbackParam;
  *output = frame->output();
  return PF_Err_None;
}

std::string problemWith(const FrameRequest& r) {
  const auto ratioOk = [](const PF_Ratio& q) { return q.num > 0 && q.den > 0 && uint32_t(q.num) <= q.den; };
  if (r.depth != 8 && r.depth != 16 && r.depth != 32) {
    return "no world has " + std::to_string(r.depth) + " bits per channel (8, 16 or 32)";
  }
  if (r.timeScale == 0) return "a time scale of 0";
  if (!ratioOk(r.downsampleX) || !ratioOk(r.downsampleY)) {
    return "downsampling ratios lie in (0, 1]";
  }
  if (r.quality != PF_Quality_Low && r.quality != PF_Quality_High) {
    return "unknown render quality " + std::to_string(r.quality);
  }
  return "";
}

// The pre-render data, freed through the module's callback when the frame is done.
struct PreRenderData {
  PF_PreRenderOutput out{};
  HostInstance* instance = nullptr;
  ~PreRenderData() {
    if (!out.preRenderData) return;
    if (out.deletePreRenderData) {
      out.deletePreRenderData(out.preRenderData);
    } else {
      instance->fault("pre-render data without a delete callback");
    }
  }
};

void render(HostInstance& instance, PF_EffectMainFunc entry, const FrameRequest& request,
            const OutputPlacer& place, FrameReport& report) {
  const auto fail = [&](PF_Err err, const std::string& why) {
    report.err = err;
    report.message = why;
  };
  if (const std::string problem = problemWith(request); !problem.empty()) {
    return fail(PF_Err_BadCallbackParam, problem);
  }
  FrameState frame(instance, request);
  const LayerInfo layer = instance.effectLayerInfo();

  PF_PreRenderInput preInput{};
  preInput.outputRequest.rect = request.request.value_or(frame.layerRect(layer.width, layer.height));
  preInput.outputRequest.channelMask = PF_ChannelMask_All;
  preInput.bitDepth = request.depth;
  // A host with a device the module set up offers it at every pre-render.
  GpuDevice* device = instance.gpuData ? instance.gpuDevice() : nullptr;
  const int32_t framework = !device                              ? PF_GpuFramework_None
                            : instance.profile().gpuFramework ? instance.profile().gpuFramework
                                                               : device->framework();
  preInput.gpuData = device ? instance.gpuData : nullptr;
  preInput.gpuFramework = framework;
  PreRenderData data;
  data.instance = &instance;
  const PF_PreRenderCallbacks preCallbacks{
      checkoutLayer, instance.profile().mixesCacheKey ? mixInCacheKey : nullptr};
  PF_PreRenderExtra preExtra{&preInput, &data.out, &preCallbacks};
  PF_Err err;
  {
    CommandScope scope(instance, &frame);
    PF_InData in = inputRecord(instance, request, scope.hostRef(), scope.effectRef());
    err = dispatch(entry, scope, in, PF_Cmd_SMART_PRE_RENDER, &preExtra, nullptr, nullptr);
  }
  report.checkouts = frame.checkouts();
  report.cacheKey = frame.cacheKey();
  report.resultRect = data.out.resultRect;
  report.maxResultRect = data.out.maxResultRect;
  report.renderFlags = data.out.renderFlags;
  if (err != PF_Err_None) {
    if (data.out.preRenderData) instance.fault("pre-render failed but handed over its data");
    return fail(err, "pre-render failed with " + errorText(err));
  }

  const OutputTarget target = place ? place(report.resultRect) : OutputTarget{};
  std::string problem;
  if (!frame.prepareOutput(report.resultRect, target, &problem)) {
    return fail(PF_Err_BadCallbackParam, problem);
  }
  const bool onDevice = device && (report.renderFlags & PF_RenderOutputFlag_GpuRenderPossible);
  if (onDevice && !frame.useDevice(*device, &problem)) return fail(PF_Err_OutOfMemory, problem);
  PF_SmartRenderInput renderInput{};
  renderInput.preRenderData = data.out.preRenderData;
  renderInput.gpuData = onDevice ? instance.gpuData : nullptr;
  renderInput.gpuFramework = onDevice ? framework : PF_GpuFramework_None;
  renderInput.bitDepth = request.depth;
  const PF_SmartRenderCallbacks renderCallbacks{checkoutLayerPixels, checkinLayerPixels,
                                                checkoutOutput};
  PF_SmartRenderExtra renderExtra{&renderInput, &renderCallbacks};
  report.onGpu = onDevice;
  {
    CommandScope scope(instance, &frame);
    PF_InData in = inputRecord(instance, request, scope.hostRef(), scope.effectRef());
    const auto t0 = std::chrono::steady_clock::now();
    err = dispatch(entry, scope, in, onDevice ? PF_Cmd_SMART_RENDER_GPU : PF_Cmd_SMART_RENDER,
                   &renderExtra, nullptr, nullptr);
    report.renderSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  if (onDevice) instance.count([](HostStats& s) { ++s.gpuRenders; });
  if (err != PF_Err_None) return fail(err, "render failed with " + errorText(err));
  if (onDevice && !frame.downloadOutput(&problem)) return fail(PF_Err_OutOfMemory, problem);
  frame.deliverOutput(target);
}

}  // namespace

FrameReport renderFrame(HostInstance& instance, PF_EffectMainFunc entry,
                        const FrameRequest& request, const OutputPlacer& place) {
  FrameReport report;
  try {
    render(instance, entry, request, place, report);
  } catch (const std::bad_alloc&) {
    report.err = PF_Err_OutOfMemory;
    report.message = "the host ran out of memory for the frame";
  }
  return report;
}

}  // namespace fm::host
