#include "blurs/CameraLensBlur.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "blurs/BlurKind.h"
#include "blurs/CameraLensMap.h"
#include "blurs/CameraLensPlan.h"
#include "blurs/Reach.h"
#include "engine/Transfer.h"
#include "engine/HostMemory.h"
#include "engine/RenderScale.h"
#include "engine/ImageList.h"

namespace fm {
namespace {

// Radii beyond this many render pixels (twenty times the largest the effect offers) are treated
// as this one: reduced by 64, such an iris is still at most 160 pixels high, whereas larger ones
// would only grow the span list, the gather's rows and the margins of the work image.
constexpr double kMaxRadius = 64 * 160;

// Highlight gain in the kernel is the setting times this.
constexpr float kGainScale = 0.1f;

double clamp01(double v, double ifNotANumber) { return std::isnan(v) ? ifNotANumber : std::clamp(v, 0.0, 1.0); }

// A table uploaded for one render, released whichever way the render ends.
class UploadedTable {
 public:
  explicit UploadedTable(Backend& backend) : be(backend) {}
  ~UploadedTable() { be.freeTable(table); }
  UploadedTable(const UploadedTable&) = delete;
  UploadedTable& operator=(const UploadedTable&) = delete;
  bool upload(const std::vector<float>& values) { return be.uploadTable(table, values.data(), values.size()); }

  Table table;

 private:
  Backend& be;
};

// The regions of one render, in pixels reduced by `factor`.
struct LensRegions {
  int32_t factor = 1;
  double radius = 0;  // render y pixels
  double r = 0;       // reduced y pixels
  Rect input;         // the reduced input bounds
  Rect work;          // what the gather may read
  Rect result;        // what the gather writes
};

LensRegions regionsFor(const LensPlan& plan, bool repeat, const Rect& inputBounds, const Rect& outRect) {
  LensRegions g;
  g.factor = plan.factor;
  g.radius = std::min(plan.radius, kMaxRadius);
  g.r = g.radius / g.factor;
  const double ey = std::max(plan.aspect, 1.0) * g.r + 0.6;
  const int32_t rx = lensReach(plan.xPerY * ey), ry = lensReach(ey);
  const Rect out = reducedBy(outRect, g.factor);
  g.input = reducedBy(inputBounds, g.factor);
  const Rect need = grownBy(out, rx, ry);
  g.work = intersection(need, repeat ? g.input : grownBy(g.input, rx, ry));
  // A reduced result is enlarged bilinearly, which reads one reduced pixel beyond the output's own.
  g.result = intersection(g.work, g.factor > 1 ? grownBy(out, 1, 1) : out);
  return g;
}

// The source over the work region, reduced when the plan asks for it.
bool fillWork(Backend& be, Buffer& work, const PlacedImage& input, const Rect& inputBounds, const LensRegions& g,
              bool repeat) {
  const Buffer& src = *input.buffer;
  const int64_t sx = input.rect.left, sy = input.rect.top, f = g.factor;
  FMParams p;
  makeParams(p, &work, &src, nullptr);
  if (f == 1) return copyInput(be, work, g.work, src, input.rect);
  p.n = int32_t(f);
  p.ax = paramOffset(f * g.work.left - sx);
  p.ay = paramOffset(f * g.work.top - sy);
  if (repeat) {
    // Blocks at the input's edge average its pixels only, so its edge colour is not diluted.
    p.mode = 1;
    p.lo = paramOffset(inputBounds.left - sx);
    p.hi = paramOffset(inputBounds.right - sx);
    p.lo2 = paramOffset(inputBounds.top - sy);
    p.hi2 = paramOffset(inputBounds.bottom - sy);
  }
  return be.launch(FM_K_DOWN, &work, &src, nullptr, nullptr, &p, work.width, work.height, double(f * f));
}

bool prepare(Backend& be, const RenderSettings& s, Buffer& prepared, const Buffer& work) {
  FMParams p;
  makeParams(p, &prepared, &work, nullptr);
  // The setting ranges over 0 to 100; a direct caller's larger value is held there.
  const double gain = std::isnan(s.highlightGain) ? 0.0 : std::clamp(s.highlightGain, 0.0, 100.0);
  p.flags = (s.useLinearWorkingSpace ? FM_F_LINEAR : 0) | (gain > 0 ? FM_F_HIGHLIGHT : 0);
  p.g0 = float(gain);
  p.g1 = float(clamp01(s.highlightThreshold, 1.0));
  p.g2 = float(clamp01(s.highlightSaturation / 100, 0.0));
  p.g3 = kGainScale;
  return be.launch(FM_K_LENS_PREP, &prepared, &work, nullptr, nullptr, &p, prepared.width, prepared.height, 2.0);
}

bool prefixSums(Backend& be, Buffer& prefix, const Buffer& prepared) {
  FMParams p;
  makeParams(p, &prefix, &prepared, nullptr);
  return be.launch(FM_K_PREFIX_ROWS, &prefix, &prepared, nullptr, nullptr, &p, 1, prepared.height,
                   2.0 * prepared.width);
}

// The gather's block without its radius fields: offsets into the work region and its edges.
FMParams gatherParams(Buffer& result, const Buffer& prefix, const Buffer* radii, const LensRegions& g,
                      bool repeat) {
  FMParams p;
  makeParams(p, &result, &prefix, radii);
  const int64_t w = width(g.work), h = height(g.work);
  p.ax = paramOffset(int64_t(g.result.left) - g.work.left);
  p.ay = paramOffset(int64_t(g.result.top) - g.work.top);
  p.channel = repeat ? FM_EDGE_CLAMP : FM_EDGE_ZERO;
  if (repeat) {
    p.lo = paramOffset(std::max<int64_t>(int64_t(g.input.left) - g.work.left, 0));
    p.hi = paramOffset(std::min<int64_t>(int64_t(g.input.right) - g.work.left, w));
    p.lo2 = paramOffset(std::max<int64_t>(int64_t(g.input.top) - g.work.top, 0));
    p.hi2 = paramOffset(std::min<int64_t>(int64_t(g.input.bottom) - g.work.top, h));
  } else {
    p.hi = paramOffset(w);
    p.hi2 = paramOffset(h);
  }
  return p;
}

enum class Gathered { kFailed, kDone, kNoIris };

// One radius for the whole image: the span list of the iris (or of the ring with the fringe).
Gathered gatherConstant(Backend& be, const LensPlan& plan, const LensRegions& g, Buffer& result,
                        const Buffer& prefix, bool repeat) {
  const Iris iris = lensIris(plan);
  std::vector<float> spans;
  double weightSum = 0;
  if (plan.fringe > 1e-6) {
    const double inner = std::max((1 - plan.ringShrink) * (g.r + 0.5) - 0.5, 0.0);
    buildLensSpans(iris, g.r, plan.xPerY, 1 + plan.fringe, spans, weightSum);
    buildLensSpans(iris, inner, plan.xPerY, -plan.fringe, spans, weightSum);
  } else {
    buildLensSpans(iris, g.r, plan.xPerY, 1, spans, weightSum);
  }
  if (spans.empty() || !(weightSum > 1e-9)) return Gathered::kNoIris;

  UploadedTable table(be);
  if (!table.upload(spans)) return Gathered::kFailed;
  FMParams p = gatherParams(result, prefix, nullptr, g, repeat);
  p.mode = 0;
  p.count = int32_t(spans.size() / 4);
  p.norm = float(1 / weightSum);
  const bool ok = be.launch(FM_K_LENS_GATHER, &result, &prefix, nullptr, &table.table, &p, result.width,
                            result.height, 4.0 * p.count);
  return ok ? Gathered::kDone : Gathered::kFailed;
}

int32_t mapChannel(int32_t setting) {
  switch (std::clamp(setting, int32_t(kMapLuminance), int32_t(kMapAlpha))) {
    case kMapRed:
      return FM_CH_RED;
    case kMapGreen:
      return FM_CH_GREEN;
    case kMapBlue:
      return FM_CH_BLUE;
    case kMapAlpha:
      return FM_CH_ALPHA;
    default:
      return FM_CH_LUMINANCE;
  }
}

// A radius per pixel from the blur map, and the gather over the normalised iris table.
bool gatherVariable(Backend& be, ImageList& images, const RenderSettings& s, const LensPlan& plan,
                    const LensRegions& g, const MapImage& map, const Rect& layerBounds, const Rect& mapBounds,
                    Buffer& result, const Buffer& prefix, bool repeat) {
  Buffer* radii = images.add(width(g.work), height(g.work));
  if (!radii) return false;
  const Buffer* mapPixels = map.buffer;
  if (!mapPixels->data || mapPixels->width < 1 || mapPixels->height < 1) {
    // A map without pixels reads as transparent everywhere, like the host's empty map layer.
    Buffer* empty = images.add(1, 1);
    if (!empty || !clearImage(be, *empty)) return false;
    mapPixels = empty;
  }

  FMParams p;
  makeParams(p, radii, mapPixels, nullptr);
  const MapTransform t = blurMapTransform(g.work.left, g.work.top, g.factor, s.blurMapPlacement, layerBounds,
                                          mapBounds, map.rect.left, map.rect.top);
  p.g0 = t.g0;
  p.g1 = t.g1;
  p.g2 = t.g2;
  p.g3 = t.g3;
  p.channel = mapChannel(s.blurMapChannel);
  p.mode = s.invertBlurMap ? 1 : 0;
  p.g4 = float(g.r);
  p.g5 = float(clamp01(s.blurFocalDistance, 0.0));
  if (!be.launch(FM_K_LENS_RADIUS, radii, mapPixels, nullptr, nullptr, &p, radii->width, radii->height, 4.0))
    return false;

  const IrisTable iris = buildIrisTable(lensIris(plan));
  UploadedTable table(be);
  if (!table.upload(iris.rows)) return false;
  p = gatherParams(result, prefix, radii, g, repeat);
  p.mode = 1;
  p.count = IrisTable::kRows;
  p.bx = p.ax;
  p.by = p.ay;
  p.g0 = float(iris.halfExtent);
  p.g1 = float(plan.xPerY);
  p.g2 = float((g.radius + 0.5) / g.factor + 0.5);
  double cost = ((2 * g.radius) / g.factor + 3) * 8;
  if (plan.fringe > 1e-6) {
    p.flags = FM_F_FRINGE;
    p.g3 = float(1 - plan.ringShrink);
    p.g4 = float(plan.fringe);
    cost *= 2;
  }
  return be.launch(FM_K_LENS_GATHER, &result, &prefix, radii, &table.table, &p, result.width, result.height, cost);
}

bool finish(Backend& be, const RenderSettings& s, Buffer& result) {
  FMParams p;
  makeParams(p, &result, nullptr, nullptr);
  p.flags = s.useLinearWorkingSpace ? FM_F_LINEAR : 0;
  return be.launch(FM_K_LENS_FINISH, &result, nullptr, nullptr, nullptr, &p, result.width, result.height, 2.0);
}

bool enlarge(Backend& be, Buffer& out, const Rect& outRect, const Buffer& result, const LensRegions& g) {
  if (g.factor == 1) return copyInput(be, out, outRect, result, g.result);
  FMParams p;
  makeParams(p, &out, &result, nullptr);
  p.g0 = 1.0f / float(g.factor);
  p.g1 = float(int64_t(outRect.left) - int64_t(g.factor) * g.result.left);
  p.g2 = float(int64_t(outRect.top) - int64_t(g.factor) * g.result.top);
  return be.launch(FM_K_UP, &out, &result, nullptr, nullptr, &p, out.width, out.height, 4.0);
}

bool render(Backend& be, const RenderSettings& s, const double scale[3], const PlacedImage& input,
            const Rect& inputBounds, const Rect& layerBounds, const MapImage* map, const Rect& mapBounds,
            const Rect& outRect, Buffer& out) {
  if (!isPresent(input) || !input.buffer->data) return clearImage(be, out);
  const LensPlan plan = makeLensPlan(s, scale);
  const bool repeat = s.lensRepeatEdgePixels;
  const LensRegions g = regionsFor(plan, repeat, inputBounds, outRect);
  // Nothing the gather could read, or nothing of it that reaches the output.
  if (isEmpty(g.work) || isEmpty(g.result)) return clearImage(be, out);

  const int64_t w = width(g.work), h = height(g.work);
  ImageList images(be);
  Buffer* prefix;
  {
    // The work and prepared images are gone before the result image and the radii exist.
    ImageList staging(be);
    Buffer* work = staging.add(w, h);
    Buffer* prepared = work ? staging.add(w, h) : nullptr;
    prefix = prepared ? images.add(w + 1, h) : nullptr;
    if (!prefix) return false;
    if (!fillWork(be, *work, input, inputBounds, g, repeat) || !prepare(be, s, *prepared, *work) ||
        !prefixSums(be, *prefix, *prepared))
      return false;
  }
  Buffer* result = images.add(width(g.result), height(g.result));
  if (!result) return false;

  if (map && map->buffer) {
    if (!gatherVariable(be, images, s, plan, g, *map, layerBounds, mapBounds, *result, *prefix, repeat))
      return false;
  } else {
    switch (gatherConstant(be, plan, g, *result, *prefix, repeat)) {
      case Gathered::kFailed:
        return false;
      case Gathered::kNoIris:
        return copyInput(be, out, outRect, *input.buffer, input.rect);
      case Gathered::kDone:
        break;
    }
  }
  if (!finish(be, s, *result)) return false;
  return enlarge(be, out, outRect, *result, g);
}

}  // namespace

bool renderCameraLensBlur(Backend& be, const RenderSettings& s, const double scale[3], const PlacedImage& input,
                          const Rect& inputBounds, const Rect& layerBounds, const MapImage* map,
                          const Rect& mapBounds, const Rect& outRect, Buffer& out) {
  return falseOnBadAlloc([&] {
    return render(be, s, scale, input, inputBounds, layerBounds, map, mapBounds, outRect, out);
  });
}

namespace {

// Only the vertical scale counts; a blur map may blur any pixel.
bool negligible(const RenderSettings& s, const double scale[3]) {
  if (s.hasBlurMap) return false;
  return s.blurRadius * scaleY(scale) < 0.001;
}

Rect spread(const RenderSettings& s, const double scale[3], const Rect& r, bool, bool) {
  return grow(r, reachOf(makeLensPlan(s, scale).reach));
}

bool staysInBounds(const RenderSettings& s) { return s.lensRepeatEdgePixels; }

bool renderKind(const BlurRequest& r) {
  return renderCameraLensBlur(*r.be, *r.settings, r.scale, *r.input, r.inputBounds, r.layerBounds, r.map,
                              r.mapRect, r.outRect, *r.out);
}

}  // namespace

const BlurKind cameraLensBlurKind = {negligible, spread, staysInBounds, lensMapRequest, renderKind};

}  // namespace fm
