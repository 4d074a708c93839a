// Renders a frame whose worlds live in a GPU device's memory, on a backend made for this render
// over the device's shared kernels and the host's device memory. Whatever fails on the device is
// rendered again on the CPU from copies of the device worlds, so the host never sees a GPU error.
#include <memory>
#include <string>
#include <vector>

#include "blurs/MapImage.h"
#include "blurs/Render.h"
#include "engine/ImageList.h"
#include "engine/Transfer.h"
#include "engine/cpu/CpuBackend.h"
#include "gpu/CudaBackend.h"
#include "gpu/OpenCLBackend.h"
#include "plugin/Commands.h"
#include "plugin/CpuRender.h"
#include "plugin/GpuDevice.h"
#include "plugin/GpuFailures.h"
#include "plugin/HostRect.h"
#include "plugin/PixelCheckouts.h"
#include "plugin/SuiteRef.h"
#include "tracking/TrackedMotion.h"

namespace fm {
namespace {

// A device world wrapped as an engine image (not owned), placed in layer coordinates. No
// buffer: nothing was delivered.
struct DeviceWorld {
  Buffer buffer;
  Rect rect;
};

struct DeviceWorlds {
  DeviceWorld output, input, previous, next, map;
};

// False for a world the engine cannot address: no device memory, or rows that are not whole
// float pixels. A null or empty world is absent, not refused.
bool wrapDeviceWorld(const PF_GpuDeviceSuite1& gpu, PF_EffectRef effect, const PF_World* world,
                     const Rect& recorded, DeviceWorld& out) {
  out = DeviceWorld{};
  if (!world || world->width <= 0 || world->height <= 0) return true;
  void* memory = nullptr;
  if (!gpu.getGpuWorldData || gpu.getGpuWorldData(effect, world, &memory) != PF_Err_None || !memory ||
      world->rowBytes <= 0 || world->rowBytes % 16 != 0 || world->rowBytes / 16 < world->width) {
    return false;
  }
  out.buffer = Buffer{memory, world->width, world->height, world->rowBytes / 16, false};
  out.rect = viewOf(*world, kWorldGpuBgra, recorded).rect;
  return true;
}

// What a failed engine call and the backend said, joined.
std::string failureText(const std::string& engine, const std::string& device) {
  if (engine.empty()) return device.empty() ? "device memory" : device;
  return device.empty() ? engine : engine + " / " + device;
}

class GpuFrame {
 public:
  GpuFrame(GpuBackendBase& be, const RenderSettings& s, const DeviceWorlds& w)
      : be_(be), s_(s), w_(w), images_(be), scale_{s.downsampleX, s.downsampleY, s.pixelAspect} {}

  // False with the reason in `message`.
  bool run(std::string& message) {
    Buffer out;
    bool ok;
    switch (s_.frameMode) {
      case kFrameIdentity:
        ok = identity(out);
        break;
      case kFrameTracked:
        ok = tracked(out, message);
        break;
      default:
        ok = ordinary(out, message);
        break;
    }
    ok = ok && exportOutput(out);
    be_.freeImage(out);
    images_.releaseAll();
    if (!ok) {
      message = failureText(message, be_.lastError);
      return false;
    }
    if (!be_.flush()) {
      message = be_.lastError.empty() ? "device error" : be_.lastError;
      return false;
    }
    return true;
  }

 private:
  bool import(const DeviceWorld& world, PlacedImage& placed) {
    placed = PlacedImage{nullptr, world.rect};
    if (!world.buffer.data) return true;
    Buffer* image = images_.add(world.buffer.width, world.buffer.height);
    if (!image) return false;
    FMParams p;
    makeParams(p, image, &world.buffer, nullptr);
    p.flags = FM_F_SWAP_RB;
    if (!launchFull(be_, FM_K_IMPORT, *image, &world.buffer, p)) return false;
    placed.buffer = image;
    return true;
  }

  bool exportOutput(const Buffer& out) {
    Buffer dst = w_.output.buffer;
    FMParams p;
    makeParams(p, &dst, &out, nullptr);
    p.flags = FM_F_SWAP_RB | (s_.bitDepth < 32 ? FM_F_CLAMP01 : 0);
    return launchFull(be_, FM_K_EXPORT, dst, &out, p);
  }

  bool identity(Buffer& out) {
    PlacedImage input;
    if (!import(w_.input, input)) return false;
    const Rect& outRect = w_.output.rect;
    if (!be_.allocImage(out, int(width(outRect)), int(height(outRect)))) return false;
    return input.buffer ? copyInput(be_, out, outRect, *input.buffer, input.rect) : clearImage(be_, out);
  }

  bool tracked(Buffer& out, std::string& message) {
    PlacedImage current, previous, next, matte;
    if (!import(w_.input, current) || !import(w_.previous, previous) || !import(w_.next, next) ||
        !import(w_.map, matte)) {
      return false;
    }
    return renderTrackedMotion(be_, s_, presentFrames(current, previous, next, matte), w_.output.rect, out,
                               &message);
  }

  bool ordinary(Buffer& out, std::string& message) {
    PlacedImage input, mapPixels;
    if (!import(w_.input, input)) return false;
    MapImage map;
    if (s_.hasMap) {
      if (!import(w_.map, mapPixels)) return false;
      if (!mapPixels.buffer) {
        // A map that was checked out but delivered nothing: one transparent pixel at its corner.
        Buffer* image = images_.add(1, 1);
        if (!image || !clearImage(be_, *image)) return false;
        const Rect& b = s_.mapBounds;
        mapPixels = PlacedImage{image, Rect{b.left, b.top, b.left + 1, b.top + 1}};
      }
      map.buffer = mapPixels.buffer;
      map.rect = mapPixels.rect;
      map.bounds = s_.mapBounds;
    }
    return render(be_, s_, scale_, input, s_.inputBounds, s_.layerBounds, s_.hasMap ? &map : nullptr,
                  w_.output.rect, out, &message);
  }

  GpuBackendBase& be_;
  const RenderSettings& s_;
  const DeviceWorlds& w_;
  ImageList images_;
  const double scale_[3];
};

// Host memory holding a copy of one device world, pitch included.
struct HostCopy {
  struct alignas(16) Pixel {
    float v[4];
  };
  std::vector<Pixel> pixels;
  WorldView view;
};

bool copyToHost(GpuBackendBase& be, const DeviceWorld& world, HostCopy& copy) {
  copy.view = WorldView{};
  if (!world.buffer.data) return true;
  copy.pixels.assign(size_t(world.buffer.pitch) * size_t(world.buffer.height), HostCopy::Pixel{});
  if (!be.readImage(world.buffer, copy.pixels.data())) return false;
  copy.view.data = copy.pixels.data();
  copy.view.rowBytes = int64_t(world.buffer.pitch) * 16;
  copy.view.width = world.buffer.width;
  copy.view.height = world.buffer.height;
  copy.view.format = kWorldGpuBgra;
  copy.view.rect = world.rect;
  return true;
}

// The CPU render of the device worlds, through host copies of them.
PF_Err renderOnCpuInstead(const PF_InData* in, GpuBackendBase& be, const RenderSettings& s,
                          const DeviceWorlds& w) {
  HostCopy output, input, previous, next, map;
  if (!copyToHost(be, w.output, output) || !copyToHost(be, w.input, input) ||
      !copyToHost(be, w.previous, previous) || !copyToHost(be, w.next, next) ||
      !copyToHost(be, w.map, map)) {
    return PF_Err_OutOfMemory;
  }
  AeParallel par(in);
  CpuBackend cpu(&par, &AeParallel::abortQuery, &par);
  const RenderWorlds worlds{output.view, input.view, previous.view, next.view, map.view};
  const PF_Err err = cpuRender(cpu, par, s, worlds);
  if (err != PF_Err_None) return err;
  return be.writeImage(w.output.buffer, output.pixels.data()) ? PF_Err_None : PF_Err_OutOfMemory;
}

std::unique_ptr<GpuBackendBase> makeBackend(const GpuDeviceRecord& record, const PF_GpuDeviceInfo& info,
                                            GpuAllocator* allocator) {
  if (record.framework == PF_GpuFramework_Cuda && record.cuda) {
    return std::make_unique<CudaBackend>(allocator, record.cuda, static_cast<CUstream>(info.commandQueue));
  }
  if (record.framework == PF_GpuFramework_OpenCL && record.opencl) {
    return std::make_unique<OpenCLBackend>(allocator, record.opencl,
                                           static_cast<cl_command_queue>(info.commandQueue));
  }
  return nullptr;
}

}  // namespace

PF_Err smartRenderGpu(const PF_InData* in, PF_SmartRenderExtra* extra) {
  if (!isRenderExtra(in, extra)) return PF_Err_BadCallbackParam;
  const auto* s = static_cast<const RenderSettings*>(extra->input->preRenderData);
  if (!s) return PF_Err_InternalStructDamaged;
  SuiteRef<PF_GpuDeviceSuite1> gpu(in, PF_GpuDeviceSuite, PF_GpuDeviceSuiteVersion);
  const auto* record = static_cast<const GpuDeviceRecord*>(extra->input->gpuData);
  const uint32_t index = extra->input->deviceIndex;
  const PF_GpuDeviceSuite1* suite = gpu.operator->();
  PF_GpuDeviceInfo info{};
  if (!gpu || !record || !gpu->getDeviceInfo || gpu->getDeviceInfo(in->effect, index, &info) != PF_Err_None) {
    return PF_Err_InternalStructDamaged;
  }

  // The checkouts outlive the backend: its destructor waits for queued work on their memory.
  PixelCheckouts checkouts(in, extra->callbacks);
  AeGpuAllocator allocator(in->effect, index, suite);
  std::unique_ptr<GpuBackendBase> be = makeBackend(*record, info, &allocator);
  if (!be) return PF_Err_InternalStructDamaged;

  HostWorlds hw;
  if (PF_Err err = checkOutWorlds(in, extra->callbacks, *s, checkouts, hw)) return err;
  if (!hw.output) return PF_Err_None;
  bool inContext = true;
  if (record->framework == PF_GpuFramework_Cuda) {
    inContext = static_cast<CudaBackend&>(*be).enterContext();
  }
  if (worldFormat(in, hw.output, s->bitDepth) != kWorldGpuBgra) return PF_Err_UnrecognizedParamType;

  DeviceWorlds w;
  if (!wrapDeviceWorld(*suite, in->effect, hw.input, s->inputResult, w.input) ||
      !wrapDeviceWorld(*suite, in->effect, hw.previous, s->prevRect, w.previous) ||
      !wrapDeviceWorld(*suite, in->effect, hw.next, s->nextRect, w.next) ||
      !wrapDeviceWorld(*suite, in->effect, hw.map, s->mapResult, w.map)) {
    return PF_Err_BadCallbackParam;
  }
  std::string message;
  bool ok = false;
  if (!wrapDeviceWorld(*suite, in->effect, hw.output, s->resultRect, w.output) || !w.output.buffer.data) {
    message = "output world";
  } else if (!inContext) {
    message = be->lastError.empty() ? "device error" : be->lastError;
  } else {
    GpuFrame frame(*be, *s, w);
    ok = frame.run(message);
  }
  if (ok) {
    noteGpuSuccess();
    return PF_Err_None;
  }
  if (in->interact.abort && in->interact.abort(in->effect) != PF_Err_None) return PF_Interrupt_Cancel;
  noteGpuFailure(message.c_str());
  if (!w.output.buffer.data) return PF_Err_BadCallbackParam;
  return renderOnCpuInstead(in, *be, *s, w);
}

}  // namespace fm
