// The CPU backend's runners for the flow and motion-blur kernels against the kernels' own work
// items, bit for bit: odd sizes (narrower than a vector, one lane past it), padded rows, offsets
// past every edge, all modes, and input full of NaN, infinities, huge and subnormal values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/Backend.h"
#include "engine/cpu/CpuBackend.h"
#include "engine/ThreadParallel.h"
#include "tests/support/FlowFrames.h"
#include "tests/support/KernelRun.h"
#include "tests/support/TestImage.h"

namespace {

using fmtest::HostImage;
using fmtest::KernelCall;

struct Size {
  int w, h;
};
// From a single pixel to frames several vectors wide at every level's lane count, with rows
// that end one pixel past and one short of a whole vector.
const Size kSizes[] = {{1, 1}, {5, 3}, {17, 9}, {33, 20}, {70, 31}, {83, 45}};

// Random values in [lo, hi) with, now and then, one of the odd values bad input brings; rows
// padded past the width.
HostImage odd(int w, int h, uint32_t seed, float lo, float hi) {
  HostImage im = fmtest::randomImage(w, h, seed, lo, hi, true, w + 3);
  std::mt19937 rng(seed);
  const float extra[] = {1e-40f, -1e-45f, -0.0f, std::numeric_limits<float>::quiet_NaN()};
  for (size_t i = 0; i < im.floats(); i += 1 + rng() % 29) im.data()[i] = extra[rng() % 4];
  return im;
}

// Runs a call through the backend (its band runners) and through the kernel's items from the
// same destination, and reports the first pixel where they part.
std::string compare(KernelCall c) {
  HostImage viaRunners = *c.dst, viaItems = *c.dst;
  c.dst = &viaRunners;
  if (!fmtest::runOnCpu(c, 2)) return "the backend refused the launch";
  c.dst = &viaItems;
  if (!fmtest::runItemsOnCpu(c)) return "the items did not run";
  return fmtest::firstDifference(viaRunners, viaItems);
}

KernelCall call(int kernel, HostImage& dst, const HostImage* a, const HostImage* b, int gridW, int gridH) {
  KernelCall c;
  c.kernel = kernel;
  c.dst = &dst;
  c.srcA = a;
  c.srcB = b;
  c.params = fmtest::blockFor(&dst, a, b);
  c.gridW = gridW;
  c.gridH = gridH;
  return c;
}

TEST(FlowRunners, PyramidAndTemplateEqualTheWorkItems) {
  for (Size s : kSizes) {
    const HostImage frame = odd(s.w + 5, s.h + 4, 1, -0.5f, 4.0f);
    const HostImage featA = odd(s.w, s.h, 2, -0.5f, 1.5f), featB = odd(s.w, s.h, 3, -0.5f, 1.5f);
    HostImage level = odd(s.w, s.h, 4, 0, 1), half = odd((s.w + 1) / 2, (s.h + 1) / 2, 5, 0, 1);
    // Frame placements inside, and past the top-left and the bottom-right.
    for (int offset : {0, -3, 4}) {
      KernelCall c = call(FM_K_FEAT, level, &frame, nullptr, s.w, s.h);
      c.params.ax = offset;
      c.params.ay = -offset;
      EXPECT_EQ(compare(c), "") << "fm_feat " << s.w << " x " << s.h << " offset " << offset;
    }
    EXPECT_EQ(compare(call(FM_K_HALF, half, &featA, nullptr, half.width(), half.height())), "")
        << "fm_half " << s.w << " x " << s.h;
    EXPECT_EQ(compare(call(FM_K_TMPL, level, &featA, &featB, s.w, s.h)), "") << "fm_tmpl " << s.w << " x " << s.h;
  }
}

// The template of a textured frame moved up and to the left, so that the searches converge and
// the patches along the top and left edges sample rows and columns clamped into the level;
// with `spoiled`, odd values sprinkled over it.
HostImage movedTemplate(Size s, bool spoiled) {
  const fmtest::FlowPair pr = fmtest::translatedPair(s.w, s.h, -2.6, -2.3, 31);
  HostImage a(s.w, s.h), b(s.w, s.h), t = odd(s.w, s.h, 32, 0, 1);
  for (int y = 0; y < s.h; ++y)
    for (int x = 0; x < s.w; ++x) {
      a.at(x, y) = {pr.current.at(x, y).r, 1, 0, 0};
      b.at(x, y) = {pr.other.at(x, y).r, 1, 0, 0};
    }
  if (spoiled) a = odd(s.w, s.h, 33, -0.3f, 1.2f);
  KernelCall c = call(FM_K_TMPL, t, &a, &b, s.w, s.h);
  EXPECT_TRUE(fmtest::runItemsOnCpu(c));
  return t;
}

TEST(FlowRunners, PatchStageEqualsTheWorkItems) {
  for (Size s : kSizes)
    for (bool spoiled : {false, true}) {
      const int n = std::min({8, s.w, s.h});
      const int pw = (s.w - n + 3) / 4 + 1, ph = (s.h - n + 3) / 4 + 1;
      const HostImage tmpl = movedTemplate(s, spoiled);
      HostImage dense = odd(s.w, s.h, 7, 0, 1);
      // Starts near the motion, and from far off in every direction.
      for (float reach : {0.4f, 3.0f, 40.0f}) {
        HostImage patches = odd(pw, ph, 8, -reach, reach);
        for (int y = 0; y < ph; ++y)
          for (int x = 0; x < pw; ++x)
            if (reach < 1.0f) patches.at(x, y) = {-2.6f + patches.at(x, y).r, -2.3f + patches.at(x, y).g, 1, 0};
        KernelCall search = call(FM_K_PATCH_SEARCH, patches, &tmpl, nullptr, pw, ph);
        search.params.n = n;
        search.params.segLen = 4;
        search.params.count = 16;
        search.params.g0 = 2.0f * reach + 4.0f;
        EXPECT_EQ(compare(search), "") << "fm_patch_search " << s.w << " x " << s.h << " reach " << reach;
        KernelCall densify = call(FM_K_DENSIFY, dense, &patches, &tmpl, s.w, s.h);
        densify.params.n = n;
        densify.params.segLen = 4;
        EXPECT_EQ(compare(densify), "") << "fm_densify " << s.w << " x " << s.h << " reach " << reach;
      }
    }
}

TEST(FlowRunners, RefinementEqualsTheWorkItems) {
  for (Size s : kSizes) {
    const HostImage flow = odd(s.w, s.h, 9, -4.0f, 4.0f), tmpl = odd(s.w, s.h, 10, -0.3f, 1.2f);
    const HostImage edges = odd(s.w, s.h, 11, -0.01f, 0.05f);
    const std::vector<float> table(edges.data(), edges.data() + edges.floats());
    HostImage out = odd(s.w, s.h, 12, 0, 1);
    EXPECT_EQ(compare(call(FM_K_FLOW_WARP, out, &flow, &tmpl, s.w, s.h)), "") << "fm_flow_warp " << s.w;
    KernelCall e = call(FM_K_FLOW_EDGES, out, &tmpl, nullptr, s.w, s.h);
    e.params.g1 = 0.02f;
    e.params.g2 = 20.0f;
    EXPECT_EQ(compare(e), "") << "fm_flow_edges " << s.w;
    for (int mode : {0, 1}) {
      KernelCall r = call(FM_K_FLOW_REFINE, out, &flow, &tmpl, s.w, s.h);
      r.table = &table;
      r.params.n = edges.pitch();
      r.params.g0 = 3.0f;
      r.params.g3 = 1.0f;
      r.params.mode = mode;
      EXPECT_EQ(compare(r), "") << "fm_flow_refine " << s.w << " mode " << mode;
    }
  }
}

// Where a step has no gradient and no neighbour weights it keeps each flow, and only the length
// limit acts. Whole rows of flows along the axes, whose lengths are exact, lie an ulp or two
// short of the limit, on it or past it, and a last row points anywhere near it: the lanes cut
// exactly the flows the items cut, and those are the ones longer than the limit.
TEST(FlowRunners, LengthLimitCutsExactlyWhereTheItemsDo) {
  const int w = 45, steps[] = {-2, -1, 0, 1, 2};
  const int h = 6;
  HostImage flow(w, h, w + 3), still(w, h, w + 3), out(w, h, w + 3);
  const std::vector<float> noWeights(size_t(w + 3) * h * 4, 0.0f);
  for (float limit : {3.0f, 0.7f, 12345.0f}) {
    std::mt19937 rng(11);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        float len = limit;
        for (int k = y < 5 ? steps[y] : 0; k != 0; k += k > 0 ? -1 : 1) len = std::nextafter(len, k > 0 ? 2 * len : 0.0f);
        const float sign = x % 2 ? -1.0f : 1.0f;
        const float angle = std::uniform_real_distribution<float>(0.0f, 6.2831853f)(rng);
        flow.at(x, y) = y == 5 ? fmtest::Px{len * std::cos(angle), len * std::sin(angle), 0.5f, 0.25f}
                        : x % 4 < 2 ? fmtest::Px{sign * len, 0.0f, 0.5f, 0.25f}
                                    : fmtest::Px{0.0f, sign * len, 0.5f, 0.25f};
      }
    KernelCall r = call(FM_K_FLOW_REFINE, out, &flow, &still, w, h);
    r.table = &noWeights;
    r.params.n = w + 3;
    r.params.g0 = limit;
    r.params.g3 = 1.0f;
    EXPECT_EQ(compare(r), "") << "limit " << limit;
    HostImage cut = out;
    r.dst = &cut;
    ASSERT_TRUE(fmtest::runItemsOnCpu(r));
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < w; ++x) {
        const bool kept = cut.at(x, y).r == flow.at(x, y).r && cut.at(x, y).g == flow.at(x, y).g;
        ASSERT_EQ(kept, steps[y] <= 0) << "limit " << limit << " row " << y << " column " << x;
      }
  }
}

// A call whose destination is allocated by the backend, as the engine's images are (aligned
// to whole vectors), against the items on host memory.
std::string compareOnBackendImage(KernelCall c) {
  fm::ThreadParallel par(2);
  fm::CpuBackend be(&par, nullptr, nullptr);
  fm::Buffer dst;
  if (!be.allocImage(dst, c.dst->width(), c.dst->height())) return "no image";
  HostImage viaRunners(c.dst->width(), c.dst->height(), dst.pitch), viaItems = viaRunners;
  for (int y = 0; y < viaItems.height(); ++y)
    for (int x = 0; x < viaItems.width(); ++x) viaItems.at(x, y) = c.dst->at(x, y);
  std::memcpy(dst.data, viaItems.data(), viaItems.floats() * sizeof(float));
  const fm::Buffer a = c.srcA->buffer(), b = c.srcB->buffer();
  fm::Table t;
  if (c.table) be.uploadTable(t, c.table->data(), c.table->size());
  FMParams p = c.params;
  p.dP = dst.pitch;
  const bool ok = be.launch(c.kernel, &dst, &a, &b, c.table ? &t : nullptr, &p, c.gridW, c.gridH, c.cost) &&
                  be.download(dst, viaRunners.data());
  be.freeTable(t);
  be.freeImage(dst);
  if (!ok) return "the backend refused the launch";
  c.dst = &viaItems;
  c.params.dP = viaItems.pitch();
  if (!fmtest::runItemsOnCpu(c)) return "the items did not run";
  return fmtest::firstDifference(viaRunners, viaItems);
}

// Destinations past the size from which runners write past the cache, on the engine's own
// images and on host memory.
TEST(FlowRunners, LargeFramesEqualTheWorkItems) {
  const Size s{1029, 1021};
  const HostImage flow = odd(s.w, s.h, 25, -4.0f, 4.0f), tmpl = odd(s.w, s.h, 26, -0.3f, 1.2f);
  const std::vector<float> table(tmpl.data(), tmpl.data() + tmpl.floats());
  HostImage out = odd(s.w, s.h, 27, 0, 1);
  KernelCall r = call(FM_K_FLOW_REFINE, out, &flow, &tmpl, s.w, s.h);
  r.table = &table;
  r.params.n = tmpl.pitch();
  r.params.g0 = 3.0f;
  r.params.g3 = 1.0f;
  const KernelCall warp = call(FM_K_FLOW_WARP, out, &flow, &tmpl, s.w, s.h);
  for (const KernelCall& c : {r, warp}) {
    EXPECT_EQ(compare(c), "") << fm::kernelName(c.kernel) << " on host memory";
    EXPECT_EQ(compareOnBackendImage(c), "") << fm::kernelName(c.kernel) << " on an engine image";
  }
}

TEST(FlowRunners, FinestFlowStepsEqualTheWorkItems) {
  for (Size s : kSizes) {
    const HostImage flow = odd(s.w, s.h, 13, -3.0f, 3.0f), tmpl = odd(s.w, s.h, 14, -0.3f, 1.2f);
    HostImage stats = odd(2, s.h, 15, 0, 1);
    EXPECT_EQ(compare(call(FM_K_FLOW_STATS, stats, &flow, &tmpl, 1, s.h)), "") << "fm_flow_stats " << s.w;
    // Enlargements by 1, 2 and 4, from the origin and from an offset.
    for (int f : {1, 2, 4})
      for (int offset : {0, 5}) {
        HostImage up = odd(s.w * f + 3, s.h * f + 1, 16, 0, 1);
        KernelCall c = call(FM_K_FLOW_UP, up, &flow, nullptr, up.width(), up.height());
        c.params.g0 = float(f);
        c.params.ax = offset;
        c.params.ay = offset;
        EXPECT_EQ(compare(c), "") << "fm_flow_up " << s.w << " factor " << f << " offset " << offset;
      }
  }
}

TEST(MotionRunners, VelocityAndGatherEqualTheWorkItems) {
  for (Size s : kSizes) {
    // Flows that now and then mirror each other exactly or stand still on one side, with
    // confidences a factor 2 apart, where the velocity's choices tie.
    HostImage forward = odd(s.w, s.h, 17, -6.0f, 6.0f), backward = odd(s.w, s.h, 18, -6.0f, 6.0f);
    const float confidence[] = {0.25f, 0.5f, 1.0f};
    for (int y = 0; y < s.h; ++y)
      for (int x = 0; x < s.w; ++x)
        if ((x + y) % 3 != 2) {
          fmtest::Px& f = forward.at(x, y);
          f.b = confidence[x % 3];
          const bool still = (x + y) % 3 == 1;
          backward.at(x, y) = {still ? 0.0f : -f.r, still ? 0.0f : -f.g, confidence[y % 3], 0};
        }
    const HostImage depth = odd(s.w, s.h, 19, -0.2f, 1.2f);
    const std::vector<float> depthTable(depth.data(), depth.data() + depth.floats());
    HostImage velocity = odd(s.w, s.h, 20, 0, 1);
    for (int mode : {0, 1, 2, 3})
      for (int channel : {0, 1, 2}) {
        KernelCall c = call(FM_K_MVEL, velocity, &forward, &backward, s.w, s.h);
        c.table = &depthTable;
        c.params.mode = mode;
        c.params.channel = channel;
        c.params.n = depth.pitch();
        c.params.g0 = 0.75f;
        c.params.g1 = 4.0f;
        EXPECT_EQ(compare(c), "") << "fm_mvel " << s.w << " mode " << mode << " channel " << channel;
      }
    // Neighbourhood maxima of up to a dozen pixels over tiles of 16 (and of 4), some still.
    const HostImage colour = odd(s.w, s.h, 21, -0.2f, 1.5f), v = odd(s.w, s.h, 22, -5.0f, 5.0f);
    for (int tile : {16, 4}) {
      const int tw = (s.w + tile - 1) / tile, th = (s.h + tile - 1) / tile;
      HostImage maxima = odd(tw, th, 23, -12.0f, 12.0f);
      for (int y = 0; y < th; ++y)
        for (int x = 0; x < tw; ++x) maxima.at(x, y).b = std::fabs(maxima.at(x, y).b);
      const std::vector<float> table(maxima.data(), maxima.data() + maxima.floats());
      for (int offset : {0, -7, 9}) {
        HostImage out = odd(s.w + 6, s.h + 2, 24, 0, 1);
        KernelCall c = call(FM_K_MBLUR, out, &colour, &v, out.width(), out.height());
        c.table = &table;
        c.params.n = maxima.pitch();
        c.params.segLen = tile;
        c.params.lo = tw;
        c.params.hi = th;
        c.params.count = 95;
        c.params.ax = offset;
        c.params.ay = -offset / 2;
        EXPECT_EQ(compare(c), "") << "fm_mblur " << s.w << " tile " << tile << " offset " << offset;
      }
    }
  }
}

}  // namespace
