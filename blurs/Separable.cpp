#include "blurs/Separable.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "blurs/Reach.h"
#include "engine/Transfer.h"
#include "engine/HostMemory.h"
#include "engine/ImageList.h"

namespace fm {
namespace {

// Radii beyond this are no longer meaningful and would overflow the tap count.
constexpr double kMaxRadius = 1e8;

// A reduced work region must stay within what the reduction can address: its full-resolution
// positions must fit the kernels' 32-bit arithmetic.
constexpr int64_t kMaxWorkExtent = int64_t(1) << 29;

bool workRegionFits(const Rect& W, const Rect& O, const Rect& V, int f) {
  if (!workImagesFit(W, boundingBox(O, V), 2)) return false;
  return f == 1 || int64_t(f) * std::max(width(W), height(W)) <= kMaxWorkExtent;
}

constexpr int kLinearSrgb = FM_F_LINEAR | FM_F_SRGB;

bool wellFormed(const SeparablePass& pass) {
  if (pass.n < 0) return false;
  // The kernel reads 2n + 1 taps from the block's table: a table of another length would
  // be read past its end or misaligned, and no more than the block's 96 fit.
  if (pass.direct) return pass.taps.size() <= FM_T_FLOATS && pass.taps.size() == size_t(2) * pass.n + 1;
  return std::isfinite(pass.frac) && pass.frac >= 0.0f;
}

bool horizontal(int kernel) { return kernel == FM_K_COPY || kernel == FM_K_BOX_ROWS || kernel == FM_K_CONV_ROWS; }

// Mode 1 of the copy and reduction kernels: positions are limited to this window of the source.
void setWindow(FMParams& p, const Rect& r) {
  p.mode = 1;
  p.lo = paramOffset(r.left);
  p.hi = paramOffset(r.right);
  p.lo2 = paramOffset(r.top);
  p.hi2 = paramOffset(r.bottom);
}

ChainLink copyLink(Buffer& dst, const Buffer& src, int64_t ax, int64_t ay, const Rect* clampTo) {
  ChainLink l{FM_K_COPY, &dst, &src, FMParams{}, dst.width, dst.height, 2.0};
  makeParams(l.params, &dst, &src, nullptr);
  l.params.ax = paramOffset(ax);
  l.params.ay = paramOffset(ay);
  if (clampTo) setWindow(l.params, *clampTo);
  return l;
}

bool launchLink(Backend& be, ChainLink& l) {
  return be.launch(l.kernel, l.dst, l.src, nullptr, nullptr, &l.params, l.gridW, l.gridH, l.cost);
}

// Launches the copy, or leaves it in `deferred` for the caller to chain with what follows.
bool copyInto(Backend& be, Buffer& dst, const Buffer& src, int64_t ax, int64_t ay, const Rect* clampTo,
              ChainLink* deferred = nullptr) {
  ChainLink l = copyLink(dst, src, ax, ay, clampTo);
  if (deferred) {
    *deferred = l;
    return true;
  }
  return launchLink(be, l);
}

bool reduceInto(Backend& be, Buffer& dst, const Buffer& src, int f, int64_t ax, int64_t ay,
                const Rect* onlyInside) {
  FMParams p;
  makeParams(p, &dst, &src, nullptr);
  p.n = f;
  p.ax = paramOffset(ax);
  p.ay = paramOffset(ay);
  if (onlyInside) setWindow(p, *onlyInside);
  return be.launch(FM_K_DOWN, &dst, &src, nullptr, nullptr, &p, dst.width, dst.height, double(f) * f);
}

// Brings the source into the working image `a`, which covers W at working resolution. Where
// that is one plain copy and `deferred` is given, the copy is left there instead of launched.
bool fillWorkImage(Backend& be, ImageList& images, Buffer& a, const PlacedImage& source,
                   const Rect& inputRect, const Rect& W, const Rect& V, int f, int edgeMode, ChainLink* deferred) {
  const Buffer& src = *source.buffer;
  const int64_t sx = source.rect.left, sy = source.rect.top;
  if (edgeMode != FM_EDGE_CLAMP) {
    if (f == 1) return copyInto(be, a, src, W.left - sx, W.top - sy, nullptr, deferred);
    return reduceInto(be, a, src, f, int64_t(f) * W.left - sx, int64_t(f) * W.top - sy, nullptr);
  }
  if (f == 1) {
    // Positions outside the input's pixels repeat its edge pixels.
    const Rect k = intersection(source.rect, inputRect);
    const Rect inSource = offsetBy(k, -sx, -sy);
    return copyInto(be, a, src, W.left - sx, W.top - sy, isEmpty(k) ? nullptr : &inSource, deferred);
  }
  // Reduced: the edge pixels to repeat are averages of input pixels only, so they are
  // reduced into an image of their own first and then repeated from there.
  const Rect r1 = intersection(reducedBy(source.rect, f), V);
  const Rect inner = intersection(intersection(W, V), r1);
  const Rect r = isEmpty(inner) ? r1 : inner;
  Buffer* e = images.add(width(r), height(r));
  if (!e) return false;
  const Rect inputInSource = offsetBy(inputRect, -sx, -sy);
  if (!reduceInto(be, *e, src, f, int64_t(f) * r.left - sx, int64_t(f) * r.top - sy, &inputInSource))
    return false;
  const Rect whole{0, 0, paramOffset(width(r)), paramOffset(height(r))};
  return copyInto(be, a, *e, int64_t(W.left) - r.left, int64_t(W.top) - r.top, isEmpty(r) ? nullptr : &whole);
}

bool convertLight(Backend& be, Buffer& img, bool toLinear) {
  FMParams p;
  makeParams(p, &img, toLinear ? &img : nullptr, nullptr);
  p.flags = kLinearSrgb;
  const int kernel = toLinear ? FM_K_LENS_PREP : FM_K_LENS_FINISH;
  return be.launch(kernel, &img, toLinear ? &img : nullptr, nullptr, nullptr, &p, img.width, img.height, 2.0);
}

bool runWellFormed(Backend& be, const SeparablePlan& plan, int edgeMode, const PlacedImage& source,
                   const Rect& inputRect, const Rect& outputRect, Buffer& destination, bool linearLight) {
  if (!isPresent(source) || !source.buffer->data) return clearImage(be, destination);

  int64_t hReach = 0, vReach = 0;
  for (const SeparablePass& pass : plan.passes) (pass.horizontal ? hReach : vReach) += passReach(pass);
  const int f = plan.factor;
  // A reduced result is enlarged bilinearly, which reads one working pixel beyond the
  // output's own; without it, pixels at the output's border would depend on where the
  // output rectangle ends, and the enlargement would repeat the work region's edge.
  const int64_t spread = f > 1 ? 1 : 0;
  const Rect O = reducedBy(outputRect, f);
  const Rect V = reducedBy(inputRect, f);
  const Rect N = grownBy(O, hReach + spread, vReach + spread);

  Rect W;
  if (edgeMode == FM_EDGE_CLAMP) {
    if (isEmpty(N) || isEmpty(intersection(O, V))) return clearImage(be, destination);
    W = N;
  } else {
    W = intersection(N, grownBy(V, hReach + spread, vReach + spread));
    if (isEmpty(W)) return clearImage(be, destination);
  }
  if (!workRegionFits(W, O, V, f)) return false;

  ImageList images(be);
  Buffer* a = images.add(width(W), height(W));
  Buffer* b = a ? images.add(width(W), height(W)) : nullptr;
  if (!b) return false;
  // Passes along one axis go to the backend as one chain, led by the copy into the working
  // image where nothing comes between: a backend may then keep the rows or columns in its
  // cache from the first link to the last.
  std::vector<ChainLink> chain;
  auto flush = [&] {
    const bool ok = chain.empty() || (be.launchChain(chain.data(), int(chain.size())) && !be.wasAborted());
    chain.clear();
    return ok;
  };
  const bool chainCopy = f == 1 && !linearLight && !plan.passes.empty() && plan.passes[0].horizontal;
  ChainLink copy;
  if (!fillWorkImage(be, images, *a, source, inputRect, W, V, f, edgeMode, chainCopy ? &copy : nullptr))
    return false;
  if (chainCopy) chain.push_back(copy);
  if (linearLight && !convertLight(be, *a, true)) return false;

  // After the clamped fill the repeated edges are part of the image, which covers the
  // whole need region: the passes blur it as it stands.
  const int mode = edgeMode == FM_EDGE_CLAMP ? FM_EDGE_ZERO : edgeMode;
  Buffer* last = a;
  Buffer* next = b;
  int64_t earlier[2] = {0, 0};  // passes so far per axis: vertical, horizontal
  for (const SeparablePass& pass : plan.passes) {
    int64_t lo = pass.horizontal ? int64_t(V.left) - W.left : int64_t(V.top) - W.top;
    int64_t hi = pass.horizontal ? int64_t(V.right) - W.left : int64_t(V.bottom) - W.top;
    int64_t& k = earlier[pass.horizontal ? 1 : 0];
    if (mode == FM_EDGE_INSIDE) {
      // Each earlier pass on this axis has spread the valid pixels outward by its reach.
      lo -= k * passReach(pass);
      hi += k * passReach(pass);
    }
    ++k;
    ChainLink link;
    if (!passLink(be, pass, *next, *last, mode, paramOffset(lo), paramOffset(hi), link)) return false;
    const bool sameAxis = !chain.empty() && horizontal(chain.back().kernel) == pass.horizontal;
    // A direct column pass right after a direct rows pass joins it: a backend may run the two
    // as one and keep what lies between them in its cache.
    const bool directPair = link.kernel == FM_K_CONV_COLS && !chain.empty() &&
                            chain.back().kernel == FM_K_CONV_ROWS &&
                            (chain.size() == 1 || (chain.size() == 2 && chain[0].kernel == FM_K_COPY));
    if (!sameAxis && !directPair && !flush()) return false;
    chain.push_back(link);
    std::swap(last, next);
  }
  // The copy into the destination joins the column passes (or the direct pair) that end the
  // passes: a backend may then write their result there itself instead of into the working
  // image.
  const size_t links = chain.size();
  const bool boxColumns = links >= 1 && chain[0].kernel == FM_K_BOX_COLS;
  const bool pairLast =
      links >= 2 && chain[links - 1].kernel == FM_K_CONV_COLS && chain[links - 2].kernel == FM_K_CONV_ROWS;
  if (f == 1 && !linearLight && (boxColumns || pairLast)) {
    chain.push_back(copyLink(destination, *last, int64_t(outputRect.left) - W.left,
                             int64_t(outputRect.top) - W.top, nullptr));
    return flush();
  }
  if (!flush()) return false;
  if (linearLight && !convertLight(be, *last, false)) return false;

  if (f == 1) return copyInput(be, destination, outputRect, *last, W);
  FMParams p;
  makeParams(p, &destination, last, nullptr);
  p.g0 = 1.0f / float(f);
  p.g1 = float(int64_t(outputRect.left) - int64_t(f) * W.left);
  p.g2 = float(int64_t(outputRect.top) - int64_t(f) * W.top);
  return be.launch(FM_K_UP, &destination, last, nullptr, nullptr, &p, destination.width, destination.height,
                   4.0);
}

}  // namespace

bool launchSeparablePass(Backend& be, const SeparablePass& pass, Buffer& d, const Buffer& s, int mode,
                         int32_t lo, int32_t hi) {
  ChainLink link;
  return passLink(be, pass, d, s, mode, lo, hi, link) && launchLink(be, link);
}

bool passLink(const Backend& be, const SeparablePass& pass, Buffer& d, const Buffer& s, int mode, int32_t lo,
              int32_t hi, ChainLink& link) {
  if (!wellFormed(pass)) return false;
  link = ChainLink{0, &d, &s, FMParams{}, 0, 0, 0.0};
  FMParams& p = link.params;
  makeParams(p, &d, &s, nullptr);
  p.mode = mode;
  p.n = pass.n;
  p.lo = lo;
  p.hi = hi;
  if (pass.direct) {
    std::copy(pass.taps.begin(), pass.taps.end(), p.t);
    link.kernel = pass.horizontal ? FM_K_CONV_ROWS : FM_K_CONV_COLS;
    link.gridW = d.width;
    link.gridH = d.height;
    link.cost = 2.0 * pass.n + 1.0;
    return true;
  }
  p.frac = pass.frac;
  const int64_t len = pass.horizontal ? d.width : d.height;
  // On the CPU one work item slides over a whole row or column; a GPU needs many
  // independent items per row, so rows are cut into segments a few box widths long.
  int64_t segLen = len;
  if (be.isGpu()) {
    const int64_t eightN = int64_t(8) * pass.n;
    segLen = std::min<int64_t>(len, eightN < 256 ? 256 : eightN + 4);
  }
  segLen = std::max<int64_t>(segLen, 1);
  const int64_t segments = (len + segLen - 1) / segLen;
  p.segLen = int32_t(segLen);
  link.cost = 4.0 * double(segLen) + 2.0 * pass.n + 1.0;
  if (pass.horizontal) {
    p.y1 = d.height;
    link.kernel = FM_K_BOX_ROWS;
    link.gridW = int(segments);
    link.gridH = d.height;
    return true;
  }
  p.y1 = int32_t(segments);
  link.kernel = FM_K_BOX_COLS;
  link.gridW = d.width;
  link.gridH = int(segments);
  return true;
}

int64_t passReach(const SeparablePass& pass) {
  return int64_t(pass.n) + (!pass.direct && pass.frac > 0.0f ? 1 : 0);
}

SeparablePass boxPass(double radius, bool horizontal) {
  if (!(radius > 0)) radius = 0;
  radius = std::min(radius, kMaxRadius);
  SeparablePass pass;
  pass.horizontal = horizontal;
  const double whole = std::floor(radius);
  pass.n = int32_t(whole);
  pass.frac = float(radius - whole);
  if (pass.frac < 9.999999383580872e-05f) pass.frac = 0.0f;
  return pass;
}

int32_t fullResolutionReach(int64_t workingReach, int32_t factor) {
  const int64_t extra = factor >= 2 ? 2 * int64_t(factor) : 0;
  const int64_t limit = kCoordLimit;
  if (workingReach < 0) workingReach = 0;
  if (workingReach > limit) return kCoordLimit;  // also keeps the product below overflow
  return int32_t(std::min(workingReach * factor + extra, limit));
}

bool runSeparable(Backend& be, const SeparablePlan& plan, int edgeMode, const PlacedImage& source,
                  const Rect& inputRect, const Rect& outputRect, Buffer& destination, bool linearLight) {
  if (plan.factor < 1 || plan.factor > 64) return false;
  if (edgeMode != FM_EDGE_ZERO && edgeMode != FM_EDGE_CLAMP && edgeMode != FM_EDGE_INSIDE) return false;
  for (const SeparablePass& pass : plan.passes)
    if (!wellFormed(pass)) return false;
  return falseOnBadAlloc([&] {
    return runWellFormed(be, plan, edgeMode, source, inputRect, outputRect, destination, linearLight);
  });
}

Rect separableSpread(SeparablePlanner makePlan, const RenderSettings& s, const double scale[3], const Rect& r) {
  SeparablePlan plan;
  makePlan(s, scale, plan);
  return grow(r, reachOf(plan.reach));
}

bool renderSeparableKind(const BlurRequest& r, SeparablePlanner makePlan, int edgeMode, bool linearLight) {
  return falseOnBadAlloc([&] {
    SeparablePlan plan;
    makePlan(*r.settings, r.scale, plan);
    return runSeparable(*r.be, plan, edgeMode, *r.input, r.inputBounds, r.outRect, *r.out, linearLight);
  });
}

}  // namespace fm
