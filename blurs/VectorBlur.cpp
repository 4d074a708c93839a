#include "blurs/VectorBlur.h"

#include <algorithm>
#include <cmath>

#include "blurs/BlurKind.h"
#include "blurs/Footprint.h"
#include "blurs/VectorSoftening.h"
#include "engine/Transfer.h"
#include "engine/HostMemory.h"
#include "engine/ImageList.h"
#include "engine/RenderScale.h"

namespace fm {
namespace {

constexpr double kPi = 3.14159265358979323846;

// The scalar map over MQ from the source copy (over Q): the property of each pixel, its
// edge values repeated over the softening margin.
bool mapFromSource(Backend& be, ImageList& images, const RenderSettings& s, const Buffer& source,
                   const Rect& Q, Buffer& map, const Rect& MQ) {
  Buffer* scalar = images.add(width(Q), height(Q));
  if (!scalar) return false;
  FMParams p;
  makeParams(p, scalar, &source, nullptr);
  p.g0 = 1.0f;
  p.g2 = 1.0f;
  p.channel = s.mapProperty;
  if (!be.launch(FM_K_VEC_SCALAR, scalar, &source, nullptr, nullptr, &p, scalar->width, scalar->height, 4.0))
    return false;
  makeParams(p, &map, scalar, nullptr);
  p.mode = 1;
  p.lo = 0;
  p.hi = scalar->width;
  p.lo2 = 0;
  p.hi2 = scalar->height;
  p.ax = paramOffset(int64_t(MQ.left) - Q.left);
  p.ay = paramOffset(int64_t(MQ.top) - Q.top);
  const bool filled = be.launch(FM_K_COPY, &map, scalar, nullptr, nullptr, &p, map.width, map.height, 2.0);
  images.release(scalar);  // before the softening and result images add to the peak
  return filled;
}

// The scalar map over MQ from the map layer, its rectangle stretched onto the layer's and
// its edges repeated outside it.
bool mapFromLayer(Backend& be, const RenderSettings& s, const MapImage& layerMap, const Rect& layerBounds,
                  const Rect& mapBounds, Buffer& map, const Rect& MQ) {
  const Buffer& src = *layerMap.buffer;
  const int64_t mx0 = layerMap.rect.left, my0 = layerMap.rect.top;
  const float qx = width(layerBounds) > 0 ? float(double(width(mapBounds)) / double(width(layerBounds))) : 1.0f;
  const float qy = height(layerBounds) > 0 ? float(double(height(mapBounds)) / double(height(layerBounds))) : 1.0f;
  FMParams p;
  makeParams(p, &map, &src, nullptr);
  p.mode = 1;
  p.lo = paramOffset(mapBounds.left - mx0);
  p.hi = paramOffset(mapBounds.right - mx0);
  p.lo2 = paramOffset(mapBounds.top - my0);
  p.hi2 = paramOffset(mapBounds.bottom - my0);
  p.channel = s.mapProperty;
  p.g0 = qx;
  p.g1 = float(MQ.left) * qx + (float(mapBounds.left) - float(layerBounds.left) * qx) - float(mx0);
  p.g2 = qy;
  p.g3 = float(MQ.top) * qy + (float(mapBounds.top) - float(layerBounds.top) * qy) - float(my0);
  return be.launch(FM_K_VEC_SCALAR, &map, &src, nullptr, nullptr, &p, map.width, map.height, 4.0);
}

bool render(Backend& be, const RenderSettings& s, const double scale[3], const PlacedImage& input,
            const Rect& inputBounds, const Rect& layerBounds, const MapImage* map, const Rect& mapBounds,
            const Rect& outRect, Buffer& out) {
  const bool ownMap = !map || !map->buffer || !map->buffer->data;
  const Reach reach = vectorReach(s, scale, ownMap);
  const Rect Q = intersection(grow(outRect, reach), inputBounds);
  if (isEmpty(Q) || !isPresent(input) || !input.buffer->data) return clearImage(be, out);

  ImageList images(be);
  Buffer* source = images.add(width(Q), height(Q));
  if (!source) return false;
  if (!copyInput(be, *source, Q, *input.buffer, input.rect)) return false;

  const VectorSoftening soft = makeVectorSoftening(s, scale);
  const Rect MQ = soft.plan.passes.empty() ? Q : grownBy(Q, soft.hReach, soft.vReach);
  Buffer* mapImage = images.add(width(MQ), height(MQ));
  if (!mapImage) return false;
  if (ownMap ? !mapFromSource(be, images, s, *source, Q, *mapImage, MQ)
             : !mapFromLayer(be, s, *map, layerBounds, mapBounds, *mapImage, MQ))
    return false;

  Buffer* softened = mapImage;
  if (!soft.plan.passes.empty()) {
    Buffer* other = images.add(width(MQ), height(MQ));
    if (!other) return false;
    for (const SeparablePass& pass : soft.plan.passes) {
      const int32_t hi = pass.horizontal ? mapImage->width : mapImage->height;
      if (!launchSeparablePass(be, pass, *other, *softened, FM_EDGE_ZERO, 0, hi)) return false;
      std::swap(softened, other);
    }
  }

  Buffer* result = images.add(width(Q), height(Q));
  if (!result) return false;
  const double px = scaleX(scale), py = scaleY(scale);
  const double amount = std::isfinite(s.vectorAmount) ? s.vectorAmount : 0.0;
  const double angle = s.angleOffset * kPi / 180.0;
  const double steps = std::ceil(std::max(px, py) * std::fabs(amount));
  FMParams p;
  makeParams(p, result, source, softened);
  p.bx = paramOffset(int64_t(Q.left) - MQ.left);
  p.by = paramOffset(int64_t(Q.top) - MQ.top);
  p.mode = std::clamp(s.vectorType, FM_VEC_NATURAL, FM_VEC_DIR_FADING);
  p.g0 = float(amount);
  p.g1 = float(px);
  p.g2 = float(py);
  p.g3 = float(std::cos(angle));
  p.g4 = float(std::sin(angle));
  p.g5 = float((s.ridgeSmoothness > 0 ? s.ridgeSmoothness : 0.0) / 512.0);
  // 2 to 512 samples along every vector.
  p.n = int32_t(std::min(std::max(steps, 1.0), 511.0)) + 1;
  if (!be.launch(FM_K_VECTOR, result, source, softened, nullptr, &p, result->width, result->height,
                 4.0 * p.n + 8.0))
    return false;
  return copyInput(be, out, outRect, *result, Q);
}

bool negligible(const RenderSettings& s, const double[3]) { return std::abs(s.vectorAmount) < 0.0001; }

Rect spread(const RenderSettings& s, const double scale[3], const Rect& r, bool, bool mapSoftness) {
  return grow(r, vectorReach(s, scale, mapSoftness));
}

// Vector Blur never grows the layer.
bool staysInBounds(const RenderSettings&) { return true; }

Rect mapRequestOf(const RenderSettings& s, const double scale[3], const Rect& R, const Rect& B,
                  const Rect& layerBounds, const Rect& mapBounds) {
  Rect Q = intersection(grow(R, vectorReach(s, scale, false)), B);
  if (!isEmpty(Q)) {
    const VectorSoftening soft = makeVectorSoftening(s, scale);
    Q = grownBy(Q, soft.hReach, soft.vReach);
  }
  return placeOnMap(Q, layerBounds, mapBounds, true, 2);
}

bool renderKind(const BlurRequest& r) {
  return renderVectorBlur(*r.be, *r.settings, r.scale, *r.input, r.inputBounds, r.layerBounds, r.map, r.mapRect,
                          r.outRect, *r.out);
}

}  // namespace

Reach vectorReach(const RenderSettings& s, const double scale[3], bool withSoftness) {
  const double a = std::fabs(s.vectorAmount);
  int64_t rx = lengthReach(a * scaleX(scale), 2);
  int64_t ry = lengthReach(a * scaleY(scale), 2);
  if (withSoftness) {
    const VectorSoftening soft = makeVectorSoftening(s, scale);
    rx += soft.hReach + 1;
    ry += soft.vReach + 1;
  }
  const int32_t h = limitedReach(rx), v = limitedReach(ry);
  return Reach{h, v, h, v};
}

bool renderVectorBlur(Backend& be, const RenderSettings& s, const double scale[3], const PlacedImage& input,
                      const Rect& inputBounds, const Rect& layerBounds, const MapImage* map,
                      const Rect& mapBounds, const Rect& outRect, Buffer& out) {
  return falseOnBadAlloc([&] {
    return render(be, s, scale, input, inputBounds, layerBounds, map, mapBounds, outRect, out);
  });
}

const BlurKind vectorBlurKind = {negligible, spread, staysInBounds, mapRequestOf, renderKind};

}  // namespace fm
