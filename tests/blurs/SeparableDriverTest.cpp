// The separable kinds behind the render driver: edge mode and linear light per kind, and
// clean failure (no leak, the driver's message) wherever an allocation or launch fails.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/blurs/BlurTestSupport.h"

namespace {

using blurtest::boxSettings;
using blurtest::gaussianSettings;
using blurtest::RecordingBackend;
using fm::Rect;

const fmtest::HostImage& testImage() {
  static const fmtest::HostImage image = blurtest::premultipliedImage(32, 24, 51);
  return image;
}
const Rect kPlaced{3, 2, 35, 26};

bool renderOn(fm::Backend& be, const RenderSettings& s, fm::Buffer& out, std::string* message,
              const Rect& outRect = fm::grownBy(kPlaced, 6, 6)) {
  const fm::Buffer in = testImage().buffer();
  fm::PlacedImage placed;
  placed.buffer = &in;
  placed.rect = kPlaced;
  const double scale[3] = {s.downsampleX, s.downsampleY, s.pixelAspect};
  return fm::render(be, s, scale, placed, kPlaced, kPlaced, nullptr, outRect, out, message);
}

// Mode of every pass launch, in order.
std::vector<int> passModes(const RecordingBackend& be) {
  std::vector<int> modes;
  for (const auto& l : be.launches)
    if (l.kernel >= FM_K_BOX_ROWS && l.kernel <= FM_K_CONV_COLS) modes.push_back(l.p.mode);
  return modes;
}

TEST(SeparableDriver, EachKindGetsItsEdgeModeAndColourSpace) {
  struct Case {
    const char* what;
    RenderSettings s;
    int fillMode;  // the fill copy's mode: 1 repeats the edges
    std::vector<int> modes;
    bool linear;
  } cases[] = {
      {"gaussian, repeat", gaussianSettings(8, true), 1, {0, 0}, false},
      {"gaussian, no repeat", gaussianSettings(8, false), 0, {0, 0}, false},
      {"gaussian, low bit depth", gaussianSettings(20, true, 1, true), 1, {0, 0, 0, 0, 0, 0, 0, 0}, true},
      {"box, repeat", boxSettings(3, 2, 1, true), 0, {2, 2, 2, 2}, false},
      {"box, no repeat", boxSettings(3, 1, 1, false), 0, {0, 0}, false},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.s.lowBitDepth = c.linear;  // Box Blur ignores it
    RecordingBackend be;
    fm::Buffer out;
    std::string message;
    ASSERT_TRUE(renderOn(be, c.s, out, &message)) << message;
    be.freeImage(out);
    ASSERT_GE(be.launches.size(), 2u);
    EXPECT_EQ(be.launches[0].kernel, FM_K_COPY);
    EXPECT_EQ(be.launches[0].p.mode, c.fillMode);
    EXPECT_EQ(passModes(be), c.modes);
    const auto k = be.kernels();
    EXPECT_EQ(std::count(k.begin(), k.end(), FM_K_LENS_PREP), c.linear ? 1 : 0);
    EXPECT_EQ(be.live(), 0u);
  }
  // Box Blur never blurs in linear light.
  RecordingBackend be;
  fm::Buffer out;
  RenderSettings s = boxSettings(3, 1);
  s.lowBitDepth = true;
  ASSERT_TRUE(renderOn(be, s, out, nullptr));
  be.freeImage(out);
  const auto k = be.kernels();
  EXPECT_EQ(std::count(k.begin(), k.end(), FM_K_LENS_PREP), 0);
}

TEST(SeparableDriver, EveryFailedAllocationOrLaunchFailsCleanly) {
  const struct {
    RenderSettings s;
    int allocations, launches;  // of a complete render
  } cases[] = {
      {boxSettings(3.7, 2, 1, true), 3, 6},            // output, two work images; fill, 4 passes, copy
      {boxSettings(300, 2, 1, false), 3, 6},           // reduced: reduce, 4 passes, enlarge
      {gaussianSettings(8, false), 3, 4},              // two direct passes
      {gaussianSettings(1000, true, 1, true), 4, 13},  // edge image; linear light around 8 boxes
  };
  fm::ThreadParallel par(2);
  for (const auto& c : cases) {
    const RenderSettings& s = c.s;
    SCOPED_TRACE(::testing::Message() << "kind " << s.blurType << " " << s.boxBlurRadius << s.blurriness);
    for (bool allocation : {true, false}) {
      for (int k = 1;; ++k) {
        SCOPED_TRACE(::testing::Message() << (allocation ? "allocation " : "launch ") << k);
        fmtest::CountingBackend be(&par);
        (allocation ? be.failAlloc : be.failLaunch) = k;
        fm::Buffer out;
        std::string message;
        const bool ok = renderOn(be, s, out, &message);
        const int reached = allocation ? be.allocCalls : be.launchCalls;
        if (reached < k) {  // every call got through: the render is complete
          EXPECT_TRUE(ok) << message;
          be.freeImage(out);
          EXPECT_EQ(be.liveImages, 0);
          EXPECT_EQ(k - 1, allocation ? c.allocations : c.launches);
          break;
        }
        EXPECT_FALSE(ok);
        EXPECT_EQ(message, allocation && k == 1 ? "out of memory (output)" : "render failed");
        EXPECT_EQ(out.data, nullptr);
        EXPECT_EQ(be.liveImages, 0);
        // Nothing runs after the failure.
        EXPECT_EQ(allocation ? be.allocCalls : be.launchCalls, k);
      }
    }
  }
}

struct AbortAfter {
  int calls = 0;
  int limit = 0;
};
bool abortQuery(void* ctx) {
  auto* a = static_cast<AbortAfter*>(ctx);
  return ++a->calls > a->limit;
}

TEST(SeparableDriver, AbortDuringTheRunIsReportedAsAborted) {
  fm::ThreadParallel par(1);
  for (int limit : {0, 1, 3, 8}) {
    AbortAfter flag;
    flag.limit = limit;
    fmtest::CountingBackend be(&par, &abortQuery, &flag);
    fm::Buffer out;
    std::string message;
    EXPECT_FALSE(renderOn(be, gaussianSettings(40, false), out, &message)) << limit;
    EXPECT_EQ(message, "aborted");
    EXPECT_EQ(out.data, nullptr);
    EXPECT_EQ(be.liveImages, 0);
  }
}

}  // namespace
