#include "tracking/TrackedMotion.h"

#include <algorithm>
#include <new>

#include "tracking/FeaturePyramid.h"
#include "tracking/MotionBlurStage.h"
#include "tracking/MotionVectors.h"
#include "tracking/MotionVelocity.h"
#include "tracking/NeighbourFlow.h"
#include "tracking/ScratchPool.h"
#include "tracking/TrackedCopy.h"

namespace fm {
namespace {

bool takesPart(const PlacedImage* im) { return im && isPresent(*im) && im->buffer->data; }

// NaN settings fall to the lower bound.
double clampSetting(double v, double lo, double hi) { return v > lo ? std::min(v, hi) : lo; }

// The pipeline after the trivial cases; `cur` is the current frame as a W x H buffer.
bool renderWithPool(Backend& be, ScratchPool& pool, const RenderSettings& s, const TrackedFrames& frames,
                    const PlacedImage& cur, const Rect& outRect, Buffer& out, std::string* message) {
  const Rect& rect = cur.rect;
  const int W = int(width(rect)), H = int(height(rect));
  const PlacedImage* prev = s.tracking != kTrackNextFrame && takesPart(frames.previous) ? frames.previous : nullptr;
  const PlacedImage* next = s.tracking != kTrackPreviousFrame && takesPart(frames.next) ? frames.next : nullptr;
  const bool vectors = s.motionOutput == kOutputMotionVectors;
  const float maxFlow =
      float(double(std::max(W, H)) * clampSetting(s.motionSensitivity, 0.0, 100.0) / 100.0 * 0.25);
  const double halfExtent = clampSetting(s.blurAmount, 0.0, 4.0) * double(maxFlow) * 0.5;
  if (!vectors && ((!prev && !next) || maxFlow < 0.5f || halfExtent < 0.5))
    return copyCurrentFrame(be, *cur.buffer, rect, out, outRect, message);

  VelocityStage vs;
  if (prev || next) {
    const PyramidRange range = choosePyramidRange(W, H, s.vectorDetail, maxFlow);
    FeaturePyramid curPyr;
    if (!buildFeaturePyramid(be, pool, cur, rect, range.coarsest, curPyr)) {
      setMessage(message, "pyramid");
      return false;
    }
    NeighbourFlow nbNext, nbPrev;
    if (next && !trackNeighbour(be, pool, curPyr, *next, rect, range, nbNext, message)) return false;
    if (prev && !trackNeighbour(be, pool, curPyr, *prev, rect, range, nbPrev, message)) return false;
    releasePyramid(pool, curPyr);
    const bool keepNext = keepNeighbourFlow(nbNext, nbPrev);
    const bool keepPrev = keepNeighbourFlow(nbPrev, nbNext);
    if (keepNext && !flowToFullSize(be, pool, nbNext, range.finest, W, H, vs.forward, message)) return false;
    pool.release(nbNext.flow);
    if (keepPrev && !flowToFullSize(be, pool, nbPrev, range.finest, W, H, vs.backward, message)) return false;
    pool.release(nbPrev.flow);
  }
  vs.vectorsOutput = vectors;
  vs.blurAmount = s.blurAmount;
  vs.maxFlow = maxFlow;
  vs.current = cur.buffer;
  vs.currentRect = rect;
  vs.matte = frames.matte;
  Buffer* velocity = nullptr;
  if (!runVelocityStage(be, pool, vs, velocity, message)) return false;
  if (vectors)
    return runVectorStage(be, *velocity, rect, out, outRect, s.maxDisplacement, s.downsampleX, s.downsampleY,
                          s.bitDepth, message);
  return runBlurStage(be, pool, *velocity, velocityLimit(vs), cur, out, outRect, message);
}

}  // namespace

bool renderTrackedMotion(Backend& be, const RenderSettings& settings, const TrackedFrames& frames,
                         const Rect& outRect, Buffer& out, std::string* message) {
  if (isEmpty(outRect)) return true;
  if (!out.data) {
    const int64_t ow = width(outRect), oh = height(outRect);
    if (ow > INT32_MAX || oh > INT32_MAX || !be.allocImage(out, int(ow), int(oh))) {
      setMessage(message, "memory");
      return false;
    }
  }
  if (!takesPart(&frames.current)) return clearOutput(be, out, message);
  const Rect& rect = frames.current.rect;
  const int64_t W = width(rect), H = height(rect);
  ScratchPool pool(be);
  PlacedImage cur = frames.current;
  if (frames.current.buffer->width != W || frames.current.buffer->height != H) {
    // Repacked so that every later stage can treat the frame as exactly W x H.
    Buffer* packed = pool.take(W, H);
    bool ok = packed != nullptr;
    if (ok) {
      FMParams p;
      makeParams(p, packed, frames.current.buffer, nullptr);
      ok = be.launch(FM_K_COPY, packed, frames.current.buffer, nullptr, nullptr, &p, packed->width, packed->height,
                     2.0);
    }
    if (!ok) {
      setMessage(message, "memory");
      return false;
    }
    cur.buffer = packed;
  }
  try {
    return renderWithPool(be, pool, settings, frames, cur, outRect, out, message);
  } catch (const std::bad_alloc&) {
    setMessage(message, "memory");
    return false;
  }
}

}  // namespace fm
