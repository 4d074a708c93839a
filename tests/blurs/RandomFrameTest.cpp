// Randomised frames through fm::render: every blur kind with settings drawn from ordinary ranges
// and, in "wild" frames, from the extremes (zero, negative, huge, NaN, infinities), with output
// rectangles that overlap, miss or lie far from the input, reduced render scales and map layers.
// Every frame must come back cleanly (true with an output of the asked size, or false with a
// message and nothing left allocated), must write every output pixel (two renders into memory
// poisoned differently agree bit for bit), and with ordinary settings must keep finite input
// finite; and OpenCL (PoCL on machines without a GPU) must render the same frames as the CPU.
// The seed is fixed, so a failure names a frame that can be replayed.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <sstream>
#include <string>

#include "blurs/Footprint.h"
#include "tests/blurs/BlurTestSupport.h"
#include "tests/support/FailureSweep.h"
#include "tests/support/KernelRun.h"
#include "tests/support/OpenCLTarget.h"
#include "tests/support/PoisonedRenders.h"
#include "tests/support/RandomDraw.h"

namespace {

using fm::Rect;
using fmtest::HostImage;

struct Frame {
  RenderSettings s;
  double scale[3] = {1, 1, 1};
  HostImage image, mapImage;
  Rect placedAt, inputBounds, outRect;
  Rect layerBounds;  // the layer's own rectangle: where the image was placed when drawn
  bool withMap = false;
  fm::MapImage map;
  std::string text;  // the drawn values, for failure messages
};

void settingsFor(fmtest::RandomDraw& d, RenderSettings& s) {
  switch (s.blurType) {
    case fm::kVectorBlur:
      s.vectorType = d.choice(1, 5);
      s.vectorAmount = d.real(0, 30);
      s.angleOffset = d.real(-360, 360);
      s.ridgeSmoothness = d.real(0, 10);
      s.mapProperty = d.choice(1, 8);
      s.mapSoftness = d.real(0, 30);
      break;
    case fm::kGaussianBlur:
      s.blurriness = d.real(0, 60);
      s.gaussianDimensions = d.choice(1, 3);
      s.gaussianRepeatEdgePixels = d.chance(0.5);
      s.lowBitDepth = d.chance(0.3);
      break;
    case fm::kCameraLensBlur:
      s.blurRadius = d.real(0, 20);
      s.irisShape = d.choice(1, 8);
      s.irisRoundness = d.real(-100, 100);
      s.irisAspectRatio = d.real(0.2, 5);
      s.irisRotation = d.real(-360, 360);
      s.diffractionFringe = d.real(0, 100);
      s.blurMapChannel = d.choice(1, 5);
      s.blurMapPlacement = d.choice(1, 2);
      s.blurFocalDistance = d.real(0, 255);
      s.invertBlurMap = d.chance(0.5);
      s.highlightGain = d.real(0, 10);
      s.highlightThreshold = d.real(0, 1);
      s.highlightSaturation = d.real(0, 100);
      s.lensRepeatEdgePixels = d.chance(0.5);
      s.useLinearWorkingSpace = d.chance(0.5);
      break;
    case fm::kBoxBlur:
      s.boxBlurRadius = d.real(0, 30);
      s.iterations = d.choice(1, 5);
      s.boxDimensions = d.choice(1, 3);
      s.boxRepeatEdgePixels = d.chance(0.5);
      break;
    case fm::kRadialBlur:
      s.radialAmount = d.real(0, 50);
      s.centerX = d.real(-20, 80);
      s.centerY = d.real(-20, 80);
      s.radialType = d.choice(1, 2);
      s.antialiasing = d.choice(1, 2);
      s.lowQuality = d.chance(0.3);
      break;
    default:
      s.motionBlurType = d.wild ? d.choice(1, 2) : 1;
      s.direction = d.real(-720, 720);
      s.blurLength = d.real(0, 40);
      break;
  }
}

std::string describe(const RenderSettings& s) {
  std::ostringstream t;
  switch (s.blurType) {
    case fm::kVectorBlur:
      t << "type " << s.vectorType << " amount " << s.vectorAmount << " angle " << s.angleOffset << " ridge "
        << s.ridgeSmoothness << " property " << s.mapProperty << " softness " << s.mapSoftness;
      break;
    case fm::kGaussianBlur:
      t << "blurriness " << s.blurriness << " dims " << s.gaussianDimensions;
      break;
    case fm::kCameraLensBlur:
      t << "radius " << s.blurRadius << " shape " << s.irisShape << " roundness " << s.irisRoundness << " aspect "
        << s.irisAspectRatio << " rotation " << s.irisRotation << " fringe " << s.diffractionFringe << " focal "
        << s.blurFocalDistance << " gain " << s.highlightGain << " threshold " << s.highlightThreshold;
      break;
    case fm::kBoxBlur:
      t << "radius " << s.boxBlurRadius << " iterations " << s.iterations << " dims " << s.boxDimensions;
      break;
    case fm::kRadialBlur:
      t << "amount " << s.radialAmount << " centre " << s.centerX << "," << s.centerY << " type " << s.radialType
        << " aa " << s.antialiasing;
      break;
    default:
      t << "motion type " << s.motionBlurType << " direction " << s.direction << " length " << s.blurLength;
      break;
  }
  return t.str();
}

Frame drawFrame(uint32_t seed, bool wild) {
  fmtest::RandomDraw d(seed, wild);
  Frame f;
  RenderSettings& s = f.s;
  s.blurType = d.choice(1, 6);
  settingsFor(d, s);
  const double downsample[] = {1, 1, 0.5, 0.25};
  s.downsampleX = downsample[d.integer(0, 3)];
  s.downsampleY = downsample[d.integer(0, 3)];
  const double aspect[] = {1, 1, 2, 0.5};
  s.pixelAspect = aspect[d.integer(0, 3)];
  if (wild && d.chance(0.2)) s.downsampleX = d.real(0, 1);
  if (wild && d.chance(0.2)) s.pixelAspect = d.real(0.1, 4);
  f.scale[0] = s.downsampleX;
  f.scale[1] = s.downsampleY;
  f.scale[2] = s.pixelAspect;

  const int w = d.integer(1, 40), h = d.integer(1, 32);
  f.image = blurtest::premultipliedImage(w, h, seed);
  int32_t x0 = d.integer(-30, 30), y0 = d.integer(-30, 30);
  // Far placements: offsets between the rectangles that no longer fit 32 bits.
  if (wild && d.chance(0.15)) x0 = INT32_MIN + d.integer(0, 100);
  if (wild && d.chance(0.15)) y0 = INT32_MAX - h - d.integer(0, 100);
  f.placedAt = Rect{x0, y0, x0 + w, y0 + h};
  f.layerBounds = f.placedAt;
  auto saturated = [](int64_t v) {
    return int32_t(std::min<int64_t>(std::max<int64_t>(v, INT32_MIN), INT32_MAX));
  };
  f.inputBounds = d.chance(0.8) ? f.placedAt
                                : Rect{saturated(int64_t(x0) - 5), saturated(int64_t(y0) - 5),
                                       saturated(int64_t(x0) + w + 5), saturated(int64_t(y0) + h + 5)};
  const int ow = d.integer(1, 48), oh = d.integer(1, 40);
  int64_t ox = int64_t(x0) + d.integer(-25, 25), oy = int64_t(y0) + d.integer(-25, 25);
  if (wild && d.chance(0.15)) ox = x0 < 0 ? INT32_MAX - ow - d.integer(0, 50) : INT32_MIN + d.integer(0, 50);
  ox = std::min<int64_t>(std::max<int64_t>(ox, INT32_MIN), int64_t(INT32_MAX) - ow);
  oy = std::min<int64_t>(std::max<int64_t>(oy, INT32_MIN), int64_t(INT32_MAX) - oh);
  f.outRect = Rect{int32_t(ox), int32_t(oy), int32_t(ox + ow), int32_t(oy + oh)};

  if ((s.blurType == fm::kVectorBlur || s.blurType == fm::kCameraLensBlur) && d.chance(0.5)) {
    f.withMap = true;
    s.hasBlurMap = s.blurType == fm::kCameraLensBlur;
    const int mw = d.integer(1, 30), mh = d.integer(1, 30);
    f.mapImage = fmtest::randomImage(mw, mh, seed + 1, 0.0f, 1.0f);
    const int32_t mx = saturated(int64_t(x0) + d.integer(-10, 10));
    const int32_t my = saturated(std::min<int64_t>(int64_t(y0) + d.integer(-10, 10), int64_t(INT32_MAX) - mh));
    f.map.rect = Rect{mx, my, mx + mw, my + mh};
    f.map.bounds = d.chance(0.7) ? f.map.rect : Rect{};
  }

  std::ostringstream t;
  t << "seed " << seed << (wild ? " (wild)" : "") << ": kind " << s.blurType << ", scale " << f.scale[0] << "/"
    << f.scale[1] << "/" << f.scale[2] << ", input " << w << "x" << h << " at " << x0 << "," << y0 << ", output "
    << ow << "x" << oh << " at " << f.outRect.left << "," << f.outRect.top << (f.withMap ? ", map" : "") << "; "
    << describe(s);
  f.text = t.str();
  return f;
}

// Renders a frame into `out` on `be`, from the frame's host images or, when given, from
// images already on the backend; a failure that leaves the output allocated says so.
bool renderFrame(const Frame& f, fm::Backend& be, fm::Buffer& out, std::string& message,
                 const fm::Buffer* input = nullptr, const fm::Buffer* mapBuffer = nullptr) {
  const fm::Buffer hostInput = f.image.buffer(), hostMap = f.mapImage.buffer();
  fm::MapImage map = f.map;
  map.buffer = mapBuffer ? mapBuffer : &hostMap;
  const bool ok = fm::render(be, f.s, f.scale, fm::PlacedImage{input ? input : &hostInput, f.placedAt},
                             f.inputBounds, f.layerBounds, f.withMap ? &map : nullptr, f.outRect, out, &message);
  if (!ok && out.data) message += " (and the output was left allocated)";
  return ok;
}

void checkFrames(bool wild, uint32_t firstSeed, int count) {
  int rendered = 0;
  for (uint32_t seed = firstSeed; seed < firstSeed + uint32_t(count); ++seed) {
    const Frame f = drawFrame(seed, wild);
    SCOPED_TRACE(f.text);
    auto render = [&f](fm::Backend& be, fm::Buffer& out, std::string& message) {
      return renderFrame(f, be, out, message);
    };
    rendered += fmtest::expectCleanRenders(render, f.outRect, !wild);
  }
  // The sweep means little if most frames fail early.
  EXPECT_GT(rendered, count / 2);
}

// The output of a render read back to the host, or false with the driver's message.
bool renderOn(fm::Backend& be, const Frame& f, const fm::Buffer& input, const fm::Buffer& mapBuffer,
              HostImage& result, std::string& message) {
  fm::Buffer out;
  const bool ok = renderFrame(f, be, out, message, &input, &mapBuffer) && fmtest::readImage(be, out, result);
  be.freeImage(out);
  return ok;
}

// The targets may contract multiply-adds differently and differ in the last bits of their
// transcendental functions; on values of order 1 that stays far below this.
constexpr float kTargetTolerance = 2e-4f;

void compareWithOpencl(bool wild, uint32_t firstSeed, int count) {
  FM_REQUIRE_OPENCL();
  std::string why;
  std::unique_ptr<fmtest::OpenCLTarget> cl = fmtest::OpenCLTarget::create(&why);
  ASSERT_TRUE(cl) << why;
  fm::ThreadParallel par(2);
  fm::CpuBackend cpu(&par, nullptr, nullptr);
  for (uint32_t seed = firstSeed; seed < firstSeed + uint32_t(count); ++seed) {
    const Frame f = drawFrame(seed, wild);
    SCOPED_TRACE(f.text);
    HostImage onCpu, onCl;
    std::string cpuMessage, clMessage;
    const bool cpuOk = renderOn(cpu, f, f.image.buffer(), f.mapImage.buffer(), onCpu, cpuMessage);
    fm::Buffer input, map;
    bool clOk = cl->upload(input, f.image) && (!f.withMap || cl->upload(map, f.mapImage));
    clOk = clOk && renderOn(cl->backend, f, input, map, onCl, clMessage);
    cl->backend.freeImage(input);
    cl->backend.freeImage(map);
    ASSERT_EQ(cpuOk, clOk) << cpuMessage << " / " << clMessage << " " << cl->error();
    if (cpuOk) {
      EXPECT_EQ(fmtest::firstDifference(onCpu, onCl, kTargetTolerance, kTargetTolerance), "");
    }
  }
  EXPECT_EQ(cl->liveAfterFlush(), 0);
}

// Every allocation and every launch of a frame failed in turn, and the host stopping it at its
// first, a middle or its last chunk: the render fails with its message (and a stopped backend
// refuses further launches), and nothing stays allocated, whichever step of whichever kind.
void checkFailures(uint32_t firstSeed, int count) {
  for (uint32_t seed = firstSeed; seed < firstSeed + uint32_t(count); ++seed) {
    const Frame f = drawFrame(seed, false);
    SCOPED_TRACE(f.text);
    auto run = [&f](fm::Backend& be, std::string& message) {
      fm::Buffer out;
      const bool ok = renderFrame(f, be, out, message);
      be.freeImage(out);
      return ok;
    };
    auto judge = [](const fmtest::FailedStep& step, bool ok, const std::string& message, fm::Backend& be) {
      EXPECT_FALSE(ok) << step.text();
      const char* want = step.kind == fmtest::FailedStep::kAbort                         ? "aborted"
                         : step.kind == fmtest::FailedStep::kAllocation && step.n == 1 ? "out of memory (output)"
                                                                                       : "render failed";
      EXPECT_EQ(message, want) << step.text();
      if (step.kind == fmtest::FailedStep::kAbort) {
        EXPECT_TRUE(be.wasAborted());
      }
    };
    fmtest::sweepFailures(run, judge);
  }
}

// The part `part` of an image placed at `at` (at least 1 x 1, as images are).
HostImage croppedImage(const HostImage& image, const Rect& at, const Rect& part) {
  HostImage out(std::max(1, int(fm::width(part))), std::max(1, int(fm::height(part))));
  for (int y = part.top; y < part.bottom; ++y)
    for (int x = part.left; x < part.right; ++x)
      out.at(x - part.left, y - part.top) = image.at(x - at.left, y - at.top);
  return out;
}

// The footprint against the renders: the input a frame's output requests suffices (rendering
// from only that part of the input gives the same pixels, up to the rounding of running sums
// that start elsewhere), and nothing lands outside the result rectangle and output extent.
void checkFootprints(uint32_t firstSeed, int count) {
  const Rect limit{-536870912, -536870912, 536870912, 536870912};
  fm::ThreadParallel par(2);
  fm::CpuBackend cpu(&par, nullptr, nullptr);
  for (uint32_t seed = firstSeed; seed < firstSeed + uint32_t(count); ++seed) {
    Frame f = drawFrame(seed, false);
    SCOPED_TRACE(f.text);
    // The layer is the whole image here: where its bounds reach past the image, a host would
    // supply pixels there too, which a cropped image cannot stand for.
    if (!(f.inputBounds == f.placedAt)) continue;
    // A layer whose edges repeat is only ever asked for pixels within its bounds.
    if (blurtest::repeatsEdges(f.s)) f.outRect = fm::intersection(f.outRect, f.inputBounds);
    if (fm::isEmpty(f.outRect)) continue;
    HostImage whole, cropped;
    std::string message;
    ASSERT_TRUE(renderOn(cpu, f, f.image.buffer(), f.mapImage.buffer(), whole, message)) << message;

    // The same frame from only the requested parts of the input and of the map layer (when
    // the map's own bounds are known: without them its placement follows the part given).
    Frame g = f;
    const Rect request = fm::inputRequest(f.s, f.scale, f.outRect, limit);
    g.placedAt = fm::intersection(request, f.placedAt);
    g.image = croppedImage(f.image, f.placedAt, g.placedAt);
    if (fm::isEmpty(g.placedAt)) g.placedAt = Rect{};
    Rect mapRequest;
    if (f.withMap && !fm::isEmpty(f.map.bounds)) {
      mapRequest = fm::mapRequest(f.s, f.scale, f.outRect, f.inputBounds, f.layerBounds, f.map.bounds);
      g.map.rect = fm::intersection(mapRequest, f.map.rect);
      g.mapImage = croppedImage(f.mapImage, f.map.rect, g.map.rect);
    }
    ASSERT_TRUE(renderOn(cpu, g, g.image.buffer(), g.mapImage.buffer(), cropped, message)) << message;
    EXPECT_EQ(fmtest::firstDifference(whole, cropped, 1e-5f, 1e-5f), "")
        << "request " << request.left << "," << request.top << "," << request.right << "," << request.bottom
        << ", map request " << mapRequest.left << "," << mapRequest.top << "," << mapRequest.right << ","
        << mapRequest.bottom;

    if (blurtest::repeatsEdges(f.s)) continue;
    const Rect result = fm::resultRect(f.s, f.scale, f.placedAt, f.inputBounds);
    const Rect extent = fm::outputExtent(f.s, f.scale, f.inputBounds);
    for (int y = 0; y < whole.height(); ++y)
      for (int x = 0; x < whole.width(); ++x) {
        const int64_t lx = int64_t(f.outRect.left) + x, ly = int64_t(f.outRect.top) + y;
        const bool inResult = lx >= result.left && lx < result.right && ly >= result.top && ly < result.bottom;
        const bool inExtent = lx >= extent.left && lx < extent.right && ly >= extent.top && ly < extent.bottom;
        if (inResult && inExtent) continue;
        ASSERT_LE(std::fabs(whole.at(x, y).a), 1e-5f) << "outside the result at " << lx << "," << ly;
      }
  }
}

TEST(RandomFrames, OrdinarySettingsRenderCleanlyAndWriteEveryPixel) { checkFrames(false, 1000, 120); }

TEST(RandomFrames, ExtremeSettingsAndPlacementsNeverCrashOrLeak) { checkFrames(true, 5000, 160); }

TEST(RandomFrames, EveryFailedAllocationLaunchOrAbortFailsCleanly) { checkFailures(1000, 40); }

TEST(RandomFrames, FootprintsHoldForTheirRenders) { checkFootprints(2000, 150); }

TEST(RandomFrames, OpenclRendersWhatTheCpuRenders) {
  compareWithOpencl(false, 3000, 24);
  compareWithOpencl(true, 8000, 24);
}

}  // namespace
