// Every instruction-set level gives the baseline's bits. Whole renders of every blur kind and
// of the tracked path run on a backend that repeats each launch, before it happens, at every
// level the processor supports, through the backend's runners and through the item table,
// and compares each result with the baseline's work items pixel for pixel.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "blurs/Render.h"
#include "engine/cpu/CpuBackend.h"
#include "engine/cpu/CpuKernelTable.h"
#include "engine/ForwardingBackend.h"
#include "engine/ThreadParallel.h"
#include "tests/support/FlowFrames.h"
#include "tests/support/TestImage.h"
#include "tests/support/TrackedSequence.h"

namespace {

using fm::CpuIsa;
using fmtest::HostImage;

std::vector<CpuIsa> supportedLevels() {
  std::vector<CpuIsa> levels;
  for (int i = 0; i < fm::kCpuIsaCount; ++i)
    if (fm::cpuIsaSupported(CpuIsa(i))) levels.push_back(CpuIsa(i));
  return levels;
}

// The first pixel whose bits differ (any NaN equals any NaN: the order in which a level's
// instructions take two NaN operands may pick either payload); "" when none does.
std::string firstDifference(const fm::Buffer& a, const fm::Buffer& b) {
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x)
      for (int c = 0; c < 4; ++c) {
        const size_t i = (size_t(y) * a.pitch + x) * 4 + c;
        const float u = static_cast<const float*>(a.data)[i], v = static_cast<const float*>(b.data)[i];
        if (std::isnan(u) && std::isnan(v)) continue;
        if (std::memcmp(&u, &v, sizeof u) != 0) {
          std::ostringstream s;
          s << "pixel (" << x << ", " << y << ") channel " << c << ": " << u << " against " << v;
          return s.str();
        }
      }
  return "";
}

// A copy of an image's memory that a launch can write.
struct Scratch {
  HostImage pixels;
  fm::Buffer buffer;
  explicit Scratch(const fm::Buffer& like) : pixels(like.width, like.height, like.pitch) {
    std::memcpy(pixels.data(), like.data, size_t(like.height) * like.pitch * 16);
    buffer = pixels.buffer();
  }
};

// The CPU backend at the baseline, which first runs every launch on copies of its destination
// at every supported level (through a backend of that level and through that level's item
// table) and checks each against the baseline's item table.
class LevelChecker final : public fm::ForwardingBackend<fm::CpuBackend> {
 public:
  explicit LevelChecker(fm::Parallel* par) : ForwardingBackend(par, nullptr, nullptr, CpuIsa::Baseline), par(par) {}

  bool launch(int k, fm::Buffer* d, const fm::Buffer* a, const fm::Buffer* b, const fm::Table* t, FMParams* p,
              int gw, int gh, double cost) override {
    if (d && d->data && p && k >= 0 && k < FM_KERNEL_COUNT && gw > 0 && gh > 0) check(k, *d, a, b, t, *p, gw, gh, cost);
    return inner.launch(k, d, a, b, t, p, gw, gh, cost);
  }

  std::set<int> kernels;

 private:
  void check(int k, const fm::Buffer& d, const fm::Buffer* a, const fm::Buffer* b, const fm::Table* t,
             FMParams block, int gw, int gh, double cost) {
    kernels.insert(k);
    block.y0 = 0;
    const void* av = a ? a->data : nullptr;
    const void* bv = b ? b->data : nullptr;
    const void* tv = t ? t->data : nullptr;
    Scratch reference(d);
    fm::cpuItemRunner(k, CpuIsa::Baseline)(gw, 0, gh, reference.buffer.data, av, bv, tv, block);
    for (CpuIsa isa : supportedLevels()) {
      Scratch items(d), runners(d);
      fm::cpuItemRunner(k, isa)(gw, 0, gh, items.buffer.data, av, bv, tv, block);
      FMParams p = block;
      fm::CpuBackend be(par, nullptr, nullptr, isa);
      ASSERT_TRUE(be.launch(k, &runners.buffer, a, b, t, &p, gw, gh, cost));
      const std::string where = std::string(fm::kernelName(k)) + " at " + fm::cpuIsaName(isa) + ", grid " +
                                std::to_string(gw) + " x " + std::to_string(gh);
      EXPECT_EQ(firstDifference(items.buffer, reference.buffer), "") << where << ", item table";
      EXPECT_EQ(firstDifference(runners.buffer, reference.buffer), "") << where << ", backend";
    }
  }

  fm::Parallel* par;
};

// Premultiplied colour, now and then replaced by a value that bad input brings: NaN, an
// infinity, a huge, a subnormal or a negative zero.
HostImage frame(int w, int h, uint32_t seed, bool specials) {
  HostImage im = fmtest::randomImage(w, h, seed, 0.0f, 1.0f);
  std::mt19937 rng(seed);
  const float odd[] = {std::numeric_limits<float>::quiet_NaN(), INFINITY, -INFINITY, 3e38f, 1e-40f, -1e-45f, -0.0f};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      fmtest::Px& px = im.at(x, y);
      px.a = 0.3f + 0.7f * px.a;
      px.r *= px.a;
      px.g *= px.a;
      px.b *= px.a;
      if (specials && rng() % 24 == 0) (&px.r)[rng() % 4] = odd[rng() % 7];
    }
  return im;
}

struct Kind {
  const char* name;
  RenderSettings s;
  bool map = false;
};

std::vector<Kind> kinds() {
  std::vector<Kind> list;
  auto add = [&](const char* name, auto&& set, bool map = false) {
    Kind k{name, RenderSettings{}, map};
    set(k.s);
    list.push_back(k);
  };
  add("gaussian direct, in linear light", [](RenderSettings& s) {
    s.blurType = fm::kGaussianBlur;
    s.blurriness = 6;
    s.lowBitDepth = true;
  });
  add("gaussian direct, wide", [](RenderSettings& s) {
    s.blurType = fm::kGaussianBlur;
    s.blurriness = 9;
  });
  add("gaussian reduced", [](RenderSettings& s) {
    s.blurType = fm::kGaussianBlur;
    s.blurriness = 900;
    s.gaussianRepeatEdgePixels = false;
  });
  add("box inside", [](RenderSettings& s) { s.blurType = fm::kBoxBlur; s.boxBlurRadius = 4.5; });
  add("box zero", [](RenderSettings& s) {
    s.blurType = fm::kBoxBlur;
    s.boxBlurRadius = 7;
    s.boxRepeatEdgePixels = false;
  });
  add("lens", [](RenderSettings& s) {
    s.blurType = fm::kCameraLensBlur;
    s.blurRadius = 11;
    s.highlightGain = 4;
    s.highlightThreshold = 0.5;
  });
  add("lens zero", [](RenderSettings& s) {
    s.blurType = fm::kCameraLensBlur;
    s.blurRadius = 9;
    s.lensRepeatEdgePixels = false;
  });
  add("lens with map", [](RenderSettings& s) {
    s.blurType = fm::kCameraLensBlur;
    s.blurRadius = 7;
    s.hasBlurMap = true;
    s.lensRepeatEdgePixels = false;
  }, true);
  add("vector", [](RenderSettings& s) { s.vectorAmount = 9; s.mapProperty = FM_CH_LUMINANCE; }, true);
  add("vector, perpendicular", [](RenderSettings& s) {
    s.vectorAmount = 7;
    s.vectorType = FM_VEC_PERPENDICULAR;
  }, true);
  add("vector, fading directions", [](RenderSettings& s) {
    s.vectorAmount = 6;
    s.vectorType = FM_VEC_DIR_FADING;
  }, true);
  add("spin", [](RenderSettings& s) {
    s.blurType = fm::kRadialBlur;
    s.radialAmount = 20;
    s.centerX = 30;
    s.centerY = 20;
  });
  add("zoom", [](RenderSettings& s) {
    s.blurType = fm::kRadialBlur;
    s.radialType = fm::kZoom;
    s.radialAmount = 30;
    s.centerX = 10;
    s.centerY = 40;
  });
  add("directional", [](RenderSettings& s) {
    s.blurType = fm::kMotionBlur;
    s.direction = 30;
    s.blurLength = 12;
  });
  return list;
}

void renderEveryKind(fm::Backend& be, bool specials) {
  const HostImage input = frame(77, 53, 5, specials), mapImage = frame(61, 47, 6, specials);
  const fm::Buffer in = input.buffer(), mapBuffer = mapImage.buffer();
  const fm::Rect placed{0, 0, 77, 53};
  const fm::MapImage map{&mapBuffer, fm::Rect{3, -2, 64, 45}, fm::Rect{}};
  for (const Kind& k : kinds()) {
    SCOPED_TRACE(k.name);
    const double scale[3] = {1, 1, 1};
    fm::Buffer out;
    std::string message;
    EXPECT_TRUE(fm::render(be, k.s, scale, {&in, placed}, placed, placed, k.map ? &map : nullptr,
                           fm::Rect{-9, -6, 83, 60}, out, &message))
        << message;
    be.freeImage(out);
  }
  // A gather whose span ends lie just short of a cell's half: past 256 the positions round the
  // other way, so neighbouring pixels' cells are not consecutive there (pixels 230 to 290).
  {
    const HostImage prefix = frame(320, 5, 10, specials);
    const fm::Buffer pre = prefix.buffer();
    Scratch dst(pre);
    const float spans[] = {0, -2.50001f, 0.49999f, 1, 1, -0.50001f, 1.49999f, 0.5f, -1, -1.5f, 2.5f, 0.25f};
    fm::Table table;
    ASSERT_TRUE(be.uploadTable(table, spans, 12));
    FMParams p;
    fm::makeParams(p, &dst.buffer, &pre, nullptr);
    p.mode = 0;
    p.count = 3;
    p.norm = 0.5f;
    p.channel = FM_EDGE_ZERO;
    p.hi = 319;
    p.hi2 = 5;
    p.ax = 230;
    EXPECT_TRUE(be.launch(FM_K_LENS_GATHER, &dst.buffer, &pre, nullptr, &table, &p, 60, 5, 12.0));
    be.freeTable(table);
  }
  // The conversions from and to the host's pixels, which the plug-in layer launches, and a clear.
  for (int kernel : {FM_K_IMPORT, FM_K_EXPORT, FM_K_CLEAR})
    for (int flags : {0, FM_F_SWAP_RB | FM_F_CLAMP01}) {
      Scratch dst(in);
      FMParams p;
      fm::makeParams(p, &dst.buffer, &in, nullptr);
      p.flags = flags;
      p.ax = 2;
      EXPECT_TRUE(be.launch(kernel, &dst.buffer, &in, nullptr, nullptr, &p, 77, 53, 2.0));
    }
}

// A whole textured frame moving, with the input's odd values sprinkled over it when asked.
void renderTracked(fm::Backend& be, bool specials) {
  fmtest::FlowPair forward = fmtest::translatedPair(83, 61, 3.4, -1.7, 7);
  fmtest::FlowPair backward = fmtest::translatedPair(83, 61, -3.4, 1.7, 7);
  const HostImage odd = frame(83, 61, 8, true), matte = frame(83, 61, 9, specials);
  if (specials)
    for (HostImage* im : {&forward.current, &forward.other, &backward.other})
      for (int y = 0; y < 61; ++y)
        for (int x = 0; x < 83; ++x) {
          const fmtest::Px& o = odd.at(x, y);
          if (!std::isfinite(o.r + o.g + o.b + o.a)) im->at(x, y) = o;
        }
  for (int output : {fm::kOutputMotionBlur, fm::kOutputMotionVectors}) {
    const RenderSettings s = fmtest::trackedSettings(output, 1.5, 80.0);
    const fmtest::TrackedRun run = fmtest::runTracked(be, s, forward.current, &backward.other, &forward.other,
                                                      fm::Rect{-5, -3, 90, 64}, output == 1 ? &matte : nullptr);
    EXPECT_TRUE(run.ok) << run.message;
  }
}

class CpuIsaLevels : public ::testing::TestWithParam<bool> {};

TEST_P(CpuIsaLevels, EveryKernelMatchesTheBaselineLaunchByLaunch) {
  fm::ThreadParallel par(2);
  LevelChecker be(&par);
  renderEveryKind(be, GetParam());
  renderTracked(be, GetParam());
  std::string missing;
  for (int k = 0; k < FM_KERNEL_COUNT; ++k)
    if (!be.kernels.count(k)) missing += std::string(fm::kernelName(k)) + " ";
  EXPECT_EQ(missing, "") << "never launched";
}

// Ordinary frames, and frames with NaN, infinities, huge and subnormal values.
INSTANTIATE_TEST_SUITE_P(Input, CpuIsaLevels, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "OddValues" : "Ordinary"; });

}  // namespace
