#include "blurs/GroupPass.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "engine/Transfer.h"
#include "engine/HostMemory.h"
#include "engine/ImageList.h"

namespace fm {
namespace {

// Growth of the work limit for blurs on small layers: covers the longest directional streak
// the parameters allow (1000 layer pixels, twice that in working pixels on narrow pixels).
constexpr double kMinWorkMargin = 1024;

bool wellFormed(const GroupPass& pass) {
  if (pass.mode != FM_GROUP_TRANSLATE && pass.mode != FM_GROUP_ROTATE && pass.mode != FM_GROUP_SCALE)
    return false;
  return !pass.taps.empty() && pass.taps.size() <= FM_T_FLOATS && pass.taps.size() % 3 == 0;
}

// (ox, oy): the pixel of the source's frame that d's first pixel stands for.
bool launchPass(Backend& be, const GroupPass& pass, Buffer& d, const Buffer& s, float cx, float cy, float kx,
                int32_t ox, int32_t oy) {
  FMParams p;
  makeParams(p, &d, &s, nullptr);
  p.ax = ox;
  p.ay = oy;
  p.mode = pass.mode;
  p.count = int32_t(pass.taps.size() / 3);
  std::copy(pass.taps.begin(), pass.taps.end(), p.t);
  p.cx = cx;
  p.cy = cy;
  p.kx = kx;
  p.ky = 1.0f;
  return be.launch(FM_K_GROUP, &d, &s, nullptr, nullptr, &p, d.width, d.height, 4.0 * p.count);
}

bool runWellFormed(Backend& be, const std::vector<GroupPass>& passes, const PlacedImage& source, const Rect& W,
                   const Rect& outputRect, Buffer& destination, float cx, float cy, float kx) {
  if (isEmpty(W) || !isPresent(source) || !source.buffer->data) return clearImage(be, destination);
  // A full spin about a corner legitimately needs a work image many times the picture.
  if (!workImagesFit(W, boundingBox(outputRect, source.rect), 2)) return false;

  ImageList images(be);
  Buffer* a = images.add(width(W), height(W));
  Buffer* b = a ? images.add(width(W), height(W)) : nullptr;
  if (!b) return false;
  if (!copyInput(be, *a, W, *source.buffer, source.rect))
    return false;

  // The centre in the work images' frame.
  const float wcx = float(double(cx) - W.left), wcy = float(double(cy) - W.top);
  // Where the output lies within the work images, the last pass writes it directly: the pixels
  // of its frame that a copy would leave behind are never computed.
  const bool direct = intersection(outputRect, W) == outputRect && destination.width == width(outputRect) &&
                      destination.height == height(outputRect);
  Buffer* last = a;
  Buffer* next = b;
  for (size_t i = 0; i < passes.size(); ++i) {
    if (direct && i + 1 == passes.size())
      return launchPass(be, passes[i], destination, *last, wcx, wcy, kx, int32_t(outputRect.left - W.left),
                        int32_t(outputRect.top - W.top)) &&
             !be.wasAborted();
    if (!launchPass(be, passes[i], *next, *last, wcx, wcy, kx, 0, 0)) return false;
    if (be.wasAborted()) return false;
    std::swap(last, next);
  }
  return copyInput(be, destination, outputRect, *last, W);
}

}  // namespace

void buildGroupPasses(int mode, double lo, double hi, int64_t sampleCount, std::vector<GroupPass>& passes,
                      bool weighted) {
  std::vector<int64_t> sizes;
  if (sampleCount < 2) {
    sizes.push_back(1);
  } else {
    for (int64_t m = sampleCount; m > 1;) {
      const int64_t size = m <= FM_MAX_TAPS ? m : 16;
      sizes.push_back(size);
      m = (m + size - 1) / size;
    }
  }
  double total = 1;  // a double: the product may pass any integer type for absurd counts
  for (int64_t s : sizes) total *= double(s);
  double step = total >= 2 ? (hi - lo) / (total - 1) : 0.0;

  for (size_t i = 0; i < sizes.size(); ++i) {
    // Pass 0 makes the fine steps, each later pass steps as far as all earlier ones together,
    // and the last one adds lo: the composition takes every value lo + j step, j < total.
    const double base = i + 1 == sizes.size() ? lo : 0.0;
    const int64_t s = sizes[i];
    std::vector<double> weights(size_t(s), 1.0);
    double sum = 0;
    for (int64_t k = 0; k < s; ++k) {
      if (weighted) weights[size_t(k)] = std::exp(double(k) * step);
      sum += weights[size_t(k)];
    }
    GroupPass pass;
    pass.mode = mode;
    pass.taps.reserve(size_t(3 * s));
    for (int64_t k = 0; k < s; ++k) {
      const double value = double(k) * step + base;
      const float w = float(weights[size_t(k)] / sum);
      if (mode == FM_GROUP_TRANSLATE)
        pass.taps.insert(pass.taps.end(), {float(value), 0.0f, w});
      else if (mode == FM_GROUP_ROTATE)
        pass.taps.insert(pass.taps.end(), {float(std::cos(value)), float(std::sin(value)), w});
      else
        pass.taps.insert(pass.taps.end(), {float(std::exp(value)), 0.0f, w});
    }
    passes.push_back(std::move(pass));
    step *= double(s);
  }
}

int64_t groupTapCount(const std::vector<GroupPass>& passes) {
  int64_t n = 0;
  for (const GroupPass& pass : passes) n += int64_t(pass.taps.size() / 3);
  return n;
}

Rect limitGroupWork(const Rect& work, const Rect& outputRect, const Rect& inputRect, double stretch) {
  const Rect content = boundingBox(outputRect, inputRect);
  if (isEmpty(work) || isEmpty(content)) return work;
  const double w = double(width(content)), h = double(height(content));
  double margin = std::sqrt(w * w + h * h) * (stretch > 1 ? std::min(stretch, 2.0) : 1.0);
  // Some pixels beyond the diagonal: the footprints round outward and add the passes' spread.
  margin = std::max(std::ceil(margin) + 16, kMinWorkMargin);
  const int64_t g = int64_t(std::min(margin, double(kCoordLimit)));
  return intersection(work, grownBy(content, g, g));
}

bool runGroupPasses(Backend& be, const std::vector<GroupPass>& passes, const PlacedImage& source,
                    const Rect& workRect, const Rect& outputRect, Buffer& destination, float cx, float cy,
                    float kx) {
  for (const GroupPass& pass : passes)
    if (!wellFormed(pass)) return false;
  return falseOnBadAlloc([&] {
    return runWellFormed(be, passes, source, workRect, outputRect, destination, cx, cy, kx);
  });
}

}  // namespace fm
