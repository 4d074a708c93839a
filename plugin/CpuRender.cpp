#include "plugin/CpuRender.h"

#include "blurs/MapImage.h"
#include "blurs/Render.h"
#include "engine/ImageList.h"
#include "engine/Transfer.h"
#include "plugin/WorldTransfer.h"
#include "tracking/TrackedMotion.h"

namespace fm {
namespace {

// An image that an engine call allocates and the caller releases.
struct OwnedImage {
  explicit OwnedImage(Backend& be) : be(be) {}
  ~OwnedImage() { be.freeImage(buffer); }
  OwnedImage(const OwnedImage&) = delete;
  OwnedImage& operator=(const OwnedImage&) = delete;
  Backend& be;
  Buffer buffer;
};

class CpuFrame {
 public:
  CpuFrame(Backend& be, AeParallel& par, const RenderSettings& s, const RenderWorlds& w)
      : be_(be), par_(par), s_(s), w_(w), images_(be), scale_{s.downsampleX, s.downsampleY, s.pixelAspect} {}

  bool identity() { return copyWorld(par_, w_.input, w_.output); }
  bool tracked();
  bool ordinary();

 private:
  // A delivered world as an engine image placed at its rectangle; a world that was not
  // delivered gives an image without buffer. False when memory ran out or the host stopped.
  bool import(const WorldView& world, PlacedImage& placed);
  bool emptyMap(PlacedImage& placed);
  bool finish(bool rendered, const Buffer& out) { return rendered && exportWorld(par_, out, w_.output); }

  Backend& be_;
  AeParallel& par_;
  const RenderSettings& s_;
  const RenderWorlds& w_;
  ImageList images_;
  const double scale_[3];
};

bool CpuFrame::import(const WorldView& world, PlacedImage& placed) {
  placed = PlacedImage{nullptr, world.rect};
  if (!isUsable(world)) return true;
  const Buffer* image = images_.add(world.width, world.height);
  if (!image || !importWorld(par_, world, *image)) return false;
  placed.buffer = image;
  return true;
}

// A map layer that was checked out but delivered nothing: one transparent pixel at its corner.
bool CpuFrame::emptyMap(PlacedImage& placed) {
  Buffer* image = images_.add(1, 1);
  if (!image || !clearImage(be_, *image)) return false;
  const Rect& b = s_.mapBounds;
  placed = PlacedImage{image, Rect{b.left, b.top, b.left + 1, b.top + 1}};
  return true;
}

bool CpuFrame::tracked() {
  PlacedImage current, previous, next, matte;
  if (!import(w_.input, current) || !import(w_.previous, previous) || !import(w_.next, next) ||
      !import(w_.map, matte)) {
    return false;
  }
  OwnedImage out(be_);
  return finish(renderTrackedMotion(be_, s_, presentFrames(current, previous, next, matte), w_.output.rect,
                                    out.buffer, nullptr),
                out.buffer);
}

bool CpuFrame::ordinary() {
  PlacedImage input, mapPixels;
  if (!import(w_.input, input)) return false;
  MapImage map;
  if (s_.hasMap) {
    if (!import(w_.map, mapPixels)) return false;
    if (!mapPixels.buffer && !emptyMap(mapPixels)) return false;
    map.buffer = mapPixels.buffer;
    map.rect = mapPixels.rect;
    map.bounds = s_.mapBounds;
  }
  OwnedImage out(be_);
  return finish(render(be_, s_, scale_, input, s_.inputBounds, s_.layerBounds,
                       s_.hasMap ? &map : nullptr, w_.output.rect, out.buffer, nullptr),
                out.buffer);
}

}  // namespace

PF_Err cpuRender(Backend& be, AeParallel& par, const RenderSettings& s, const RenderWorlds& worlds) {
  if (!isUsable(worlds.output)) return PF_Err_None;
  CpuFrame frame(be, par, s, worlds);
  bool ok;
  switch (s.frameMode) {
    case kFrameIdentity:
      ok = frame.identity();
      break;
    case kFrameTracked:
      ok = frame.tracked();
      break;
    default:
      ok = frame.ordinary();
      break;
  }
  if (par.aborted() || be.wasAborted()) return PF_Interrupt_Cancel;
  return ok ? PF_Err_None : PF_Err_OutOfMemory;
}

}  // namespace fm
