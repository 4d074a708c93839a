// The separable runner on its own: work regions, edge modes, segments on a GPU-like backend,
// malformed plans, failures and aborts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "blurs/Separable.h"
#include "tests/blurs/BlurTestSupport.h"

namespace {

using blurtest::RecordingBackend;
using fm::Rect;
using fm::SeparablePass;
using fm::SeparablePlan;
using fmtest::HostImage;
using fmtest::RefImage;

SeparablePass box(bool horizontal, int n, float frac = 0.0f) {
  SeparablePass p;
  p.horizontal = horizontal;
  p.n = n;
  p.frac = frac;
  return p;
}

SeparablePass direct(bool horizontal, std::vector<float> taps) {
  SeparablePass p;
  p.horizontal = horizontal;
  p.direct = true;
  p.n = int(taps.size() / 2);
  p.taps = std::move(taps);
  return p;
}

SeparablePlan planOf(std::vector<SeparablePass> passes, int factor = 1) {
  SeparablePlan plan;
  plan.passes = std::move(passes);
  plan.factor = factor;
  return plan;
}

struct RunResult {
  bool ok = false;
  RefImage out;
};

// Runs the plan into a destination covering outRect whose pixels start as NaN, so that any
// pixel the run forgets to write shows.
RunResult runPlan(fm::Backend& be, const SeparablePlan& plan, int mode, const HostImage& src,
                  const Rect& placed, const Rect& inputRect, const Rect& outRect, bool linear = false) {
  RunResult r;
  fm::Buffer dst;
  if (!be.allocImage(dst, int(fm::width(outRect)), int(fm::height(outRect)))) {
    ADD_FAILURE() << "destination";
    return r;
  }
  float* px = static_cast<float*>(dst.data);
  std::fill(px, px + size_t(dst.pitch) * dst.height * 4, std::numeric_limits<float>::quiet_NaN());
  const fm::Buffer in = src.buffer();
  fm::PlacedImage source;
  source.buffer = &in;
  source.rect = placed;
  r.ok = fm::runSeparable(be, plan, mode, source, inputRect, outRect, dst, linear);
  r.out = fmtest::refFromBuffer(dst, outRect);
  be.freeImage(dst);
  return r;
}

double maxAbs(const RefImage& a, const RefImage& b) {
  double worst = 0;
  const Rect& r = a.rect();
  for (int y = r.top; y < r.bottom; ++y)
    for (int x = r.left; x < r.right; ++x) {
      double u[4], v[4];
      a.get(x, y, u);
      b.get(x, y, v);
      for (int c = 0; c < 4; ++c) {
        const double d = std::fabs(u[c] - v[c]);
        if (std::isnan(d)) return HUGE_VAL;
        worst = std::max(worst, d);
      }
    }
  return worst;
}

bool allZero(const RefImage& im) {
  const Rect& r = im.rect();
  for (int y = r.top; y < r.bottom; ++y)
    for (int x = r.left; x < r.right; ++x) {
      double v[4];
      im.get(x, y, v);
      for (double c : v)
        if (c != 0.0) return false;
    }
  return true;
}

double channel(const RefImage& im, int x, int y, int c) {
  double v[4];
  im.get(x, y, v);
  return v[c];
}

TEST(SeparableRunner, PlanWithoutPassesCopiesOrReducesAndEnlarges) {
  RecordingBackend be;
  const HostImage src = blurtest::premultipliedImage(20, 14, 3);
  const Rect placed{10, 20, 30, 34};
  const Rect out{4, 25, 26, 40};  // overlaps the input's left and bottom edges

  RunResult copy = runPlan(be, planOf({}), FM_EDGE_ZERO, src, placed, placed, out);
  ASSERT_TRUE(copy.ok);
  EXPECT_EQ(maxAbs(copy.out, fmtest::refLoad(src, placed, placed, out)), 0.0);

  RunResult clamp = runPlan(be, planOf({}), FM_EDGE_CLAMP, src, placed, placed, Rect{12, 21, 30, 34});
  ASSERT_TRUE(clamp.ok);
  EXPECT_EQ(maxAbs(clamp.out, fmtest::refLoad(src, placed, placed, Rect{12, 21, 30, 34})), 0.0);

  // The linear-light round trip alone changes nothing beyond the curves' rounding.
  RunResult linear = runPlan(be, planOf({}), FM_EDGE_ZERO, src, placed, placed, out, true);
  ASSERT_TRUE(linear.ok);
  EXPECT_LT(maxAbs(linear.out, fmtest::refLoad(src, placed, placed, out)), 1e-5);

  // Reduced by 4: block averages on the layer's grid, enlarged bilinearly.
  RunResult reduced = runPlan(be, planOf({}, 4), FM_EDGE_ZERO, src, placed, placed, out);
  ASSERT_TRUE(reduced.ok);
  const RefImage full = fmtest::refLoad(src, placed, placed, Rect{-8, 8, 44, 48});
  EXPECT_LT(maxAbs(reduced.out, fmtest::refEnlarge(fmtest::refReduce(full, 4), 4, out)), 1e-6);
  EXPECT_EQ(be.live(), 0u);
}

TEST(SeparableRunner, InsideModeAveragesOnlyTheInputsPixels) {
  RecordingBackend be;
  HostImage src(30, 2);
  for (int x = 0; x < 30; ++x)
    for (int y = 0; y < 2; ++y) src.at(x, y) = fmtest::Px{float(x), float(y), 1, 1};
  // Pixels of the source outside the input rectangle must not count: give them a loud value.
  for (int x : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29})
    for (int y = 0; y < 2; ++y) src.at(x, y) = fmtest::Px{100, 100, 100, 100};
  const Rect placed{0, 0, 30, 2}, input{10, 0, 20, 2}, out{0, 0, 30, 2};

  RunResult one = runPlan(be, planOf({box(true, 2)}), FM_EDGE_INSIDE, src, placed, input, out);
  ASSERT_TRUE(one.ok);
  EXPECT_DOUBLE_EQ(channel(one.out, 12, 0, 0), 12.0);  // window 10..14, all inside
  EXPECT_DOUBLE_EQ(channel(one.out, 11, 0, 0), (10 + 11 + 12 + 13) / 4.0);
  EXPECT_DOUBLE_EQ(channel(one.out, 9, 0, 0), 10.5);  // just outside: 10 and 11 only
  EXPECT_DOUBLE_EQ(channel(one.out, 8, 1, 0), 10.0);
  EXPECT_DOUBLE_EQ(channel(one.out, 8, 1, 3), 1.0);  // the average of opaque pixels is opaque
  EXPECT_DOUBLE_EQ(channel(one.out, 7, 0, 3), 0.0);  // no input pixel in reach: transparent
  EXPECT_DOUBLE_EQ(channel(one.out, 21, 0, 0), 19.0);
  EXPECT_DOUBLE_EQ(channel(one.out, 22, 0, 3), 0.0);

  // Outer taps count with their weight when inside: (10 + 0.5 x 11) / 1.5 just outside.
  RunResult frac = runPlan(be, planOf({box(true, 1, 0.5f)}), FM_EDGE_INSIDE, src, placed, input, out);
  ASSERT_TRUE(frac.ok);
  EXPECT_NEAR(channel(frac.out, 9, 0, 0), (10 + 0.5 * 11) / 1.5, 1e-5);

  // Repeated passes: each one treats what the earlier ones spread outward as valid.
  RunResult three = runPlan(be, planOf({box(true, 2, 0.3f), box(true, 2, 0.3f), box(true, 2, 0.3f)}),
                            FM_EDGE_INSIDE, src, placed, input, out);
  ASSERT_TRUE(three.ok);
  RefImage ref = fmtest::refLoad(src, placed, input, Rect{-20, 0, 50, 2});
  for (int k = 0; k < 3; ++k) {
    const int range[2] = {10 - 3 * k, 20 + 3 * k};
    fmtest::refBox(ref, true, 2.3, range);
  }
  EXPECT_LT(maxAbs(three.out, ref), 2e-5);
}

TEST(SeparableRunner, ClampRepeatsTheEdgesOnceThenBlursTheExtendedImage) {
  RecordingBackend be;
  const HostImage src = blurtest::premultipliedImage(24, 16, 11);
  const Rect placed{-5, 3, 19, 19};
  const Rect input{-3, 4, 17, 19};  // inside the source: the source's own border is not the layer's
  const SeparablePlan plan =
      planOf({box(true, 3, 0.4f), box(true, 3, 0.4f), box(true, 3, 0.4f), box(true, 3, 0.4f),
              box(false, 2, 0.25f), box(false, 2, 0.25f), box(false, 2, 0.25f), box(false, 2, 0.25f)});
  const Rect out = fm::grownBy(input, 6, 6);
  RunResult r = runPlan(be, plan, FM_EDGE_CLAMP, src, placed, input, out);
  ASSERT_TRUE(r.ok);
  RefImage ref = fmtest::refLoad(src, placed, input, fm::grownBy(out, 40, 40));
  fmtest::refRepeatEdges(ref, input);
  for (int k = 0; k < 4; ++k) fmtest::refBox(ref, true, 3.4);
  for (int k = 0; k < 4; ++k) fmtest::refBox(ref, false, 2.25);
  EXPECT_LT(maxAbs(r.out, ref), 1e-5);
}

TEST(SeparableRunner, NothingToBlurGivesATransparentOutputWithoutWorkImages) {
  const HostImage src = blurtest::premultipliedImage(10, 10, 5);
  const Rect placed{0, 0, 10, 10};
  const SeparablePlan plan = planOf({box(true, 3), box(false, 3)});
  struct Case {
    const char* what;
    int mode;
    Rect input, out;
    int factor;
  } cases[] = {
      {"clamp, output beside the input", FM_EDGE_CLAMP, placed, Rect{11, 0, 20, 10}, 1},
      {"clamp, output beside the input at working resolution", FM_EDGE_CLAMP, placed, Rect{10, 0, 20, 10}, 2},
      {"zero, empty input rectangle", FM_EDGE_ZERO, Rect{5, 5, 5, 9}, placed, 1},
      {"inside, empty input rectangle", FM_EDGE_INSIDE, Rect{5, 9, 9, 5}, placed, 1},
      {"clamp, empty input rectangle", FM_EDGE_CLAMP, Rect{5, 5, 5, 9}, placed, 1},
      {"zero, output beyond the reach of the reach", FM_EDGE_ZERO, placed, Rect{17, 0, 30, 10}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingBackend be;
    SeparablePlan p = plan;
    p.factor = c.factor;
    RunResult r = runPlan(be, p, c.mode, src, placed, c.input, c.out);
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(allZero(r.out));
    EXPECT_EQ(be.sizes.size(), 1u);  // the destination only
    EXPECT_EQ(be.kernels(), (std::vector<int>{FM_K_CLEAR}));
  }
  // Within the reach, a zero-mode output beside the input is blurred, not cleared.
  RecordingBackend be;
  RunResult near = runPlan(be, plan, FM_EDGE_ZERO, src, placed, placed, Rect{10, 0, 20, 10});
  ASSERT_TRUE(near.ok);
  EXPECT_GT(channel(near.out, 10, 5, 3), 0.0);
  EXPECT_EQ(channel(near.out, 13, 5, 3), 0.0);
  // A missing source is a transparent layer.
  fm::Buffer dst;
  ASSERT_TRUE(be.allocImage(dst, 4, 4));
  fm::PlacedImage none;
  EXPECT_TRUE(fm::runSeparable(be, plan, FM_EDGE_ZERO, none, placed, Rect{0, 0, 4, 4}, dst, false));
  EXPECT_EQ(static_cast<float*>(dst.data)[3], 0.0f);
  be.freeImage(dst);
}

TEST(SeparableRunner, HalfPixelBoxWeighsAQuarterAHalfAndAQuarter) {
  RecordingBackend be;
  HostImage src(9, 9);
  src.at(4, 4) = fmtest::Px{1, 2, 3, 4};
  const Rect placed{0, 0, 9, 9};
  RunResult r = runPlan(be, planOf({box(true, 0, 0.5f), box(false, 0, 0.5f)}), FM_EDGE_ZERO, src, placed,
                        placed, placed);
  ASSERT_TRUE(r.ok);
  const double w[3] = {0.25, 0.5, 0.25};
  for (int dy = -2; dy <= 2; ++dy)
    for (int dx = -2; dx <= 2; ++dx) {
      const double want = std::abs(dx) <= 1 && std::abs(dy) <= 1 ? 4 * w[dx + 1] * w[dy + 1] : 0.0;
      EXPECT_EQ(channel(r.out, 4 + dx, 4 + dy, 3), want) << dx << "," << dy;
    }
}

TEST(SeparableRunner, GpuBackendCutsRowsAndColumnsIntoSegments) {
  const HostImage wide = blurtest::premultipliedImage(1000, 3, 7),
                  tall = blurtest::premultipliedImage(3, 1000, 8);
  const Rect wideAt{0, 0, 1000, 3}, tallAt{0, 0, 3, 1000};
  for (const auto& c : {std::pair<int, int>{10, 256}, std::pair<int, int>{100, 804}}) {
    const int n = c.first, segLen = c.second, segments = (1000 + segLen - 1) / segLen;
    SCOPED_TRACE(n);
    // The output is narrower by n each side, so the working rows are exactly 1000 pixels.
    const Rect wideOut{n, 0, 1000 - n, 3}, tallOut{0, n, 3, 1000 - n};
    RecordingBackend gpu(true), cpu(false);
    RunResult g = runPlan(gpu, planOf({box(true, n)}), FM_EDGE_ZERO, wide, wideAt, wideAt, wideOut);
    RunResult h = runPlan(cpu, planOf({box(true, n)}), FM_EDGE_ZERO, wide, wideAt, wideAt, wideOut);
    ASSERT_TRUE(g.ok && h.ok);
    ASSERT_EQ(gpu.kernels(), (std::vector<int>{FM_K_COPY, FM_K_BOX_ROWS, FM_K_COPY}));
    const RecordingBackend::Launch& rows = gpu.launches[1];
    EXPECT_EQ(rows.p.dW, 1000);
    EXPECT_EQ(rows.p.segLen, segLen);
    EXPECT_EQ(rows.gridW, segments);
    EXPECT_EQ(rows.gridH, 3);
    EXPECT_EQ(rows.p.y1, 3);
    EXPECT_EQ(rows.cost, 4.0 * segLen + 2 * n + 1);
    // On the CPU one item slides over the whole row.
    EXPECT_EQ(cpu.launches[1].p.segLen, 1000);
    EXPECT_EQ(cpu.launches[1].gridW, 1);
    // Segments restart the running sum; the result is the same.
    EXPECT_LT(maxAbs(g.out, h.out), 1e-5);

    RecordingBackend gpuCols(true), cpuCols(false);
    RunResult gc =
        runPlan(gpuCols, planOf({box(false, n, 0.0f)}), FM_EDGE_ZERO, tall, tallAt, tallAt, tallOut);
    RunResult hc =
        runPlan(cpuCols, planOf({box(false, n, 0.0f)}), FM_EDGE_ZERO, tall, tallAt, tallAt, tallOut);
    ASSERT_TRUE(gc.ok && hc.ok);
    const RecordingBackend::Launch& cols = gpuCols.launches[1];
    ASSERT_EQ(cols.kernel, FM_K_BOX_COLS);
    EXPECT_EQ(cols.p.segLen, segLen);
    EXPECT_EQ(cols.gridW, 3);
    EXPECT_EQ(cols.gridH, segments);
    EXPECT_EQ(cols.p.y1, segments);
    EXPECT_EQ(cpuCols.launches[1].gridH, 1);
    EXPECT_LT(maxAbs(gc.out, hc.out), 1e-5);
  }
  // Short rows are one segment of their own length.
  RecordingBackend gpu(true);
  const HostImage small = blurtest::premultipliedImage(50, 2, 9);
  ASSERT_TRUE(runPlan(gpu, planOf({box(true, 40)}), FM_EDGE_ZERO, small, Rect{0, 0, 50, 2}, Rect{0, 0, 50, 2},
                      Rect{0, 0, 50, 2})
                  .ok);
  EXPECT_EQ(gpu.launches[1].p.segLen, 130);
  EXPECT_EQ(gpu.launches[1].gridW, 1);
}

TEST(SeparableRunner, ReducedClampedRunReducesEdgesFromTheInputOnly) {
  // Work region, edge image and enlargement offsets of a reduced, edge-repeating run.
  RecordingBackend be;
  const HostImage src = blurtest::premultipliedImage(40, 30, 4);
  const Rect placed{-4, 2, 36, 32}, input{-3, 3, 35, 31}, out{1, 5, 30, 29};
  const SeparablePlan plan = planOf({box(true, 2, 0.5f), box(false, 1)}, 4);
  RunResult r = runPlan(be, plan, FM_EDGE_CLAMP, src, placed, input, out, true);
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(be.kernels(), (std::vector<int>{FM_K_DOWN, FM_K_COPY, FM_K_LENS_PREP, FM_K_BOX_ROWS,
                                            FM_K_BOX_COLS, FM_K_LENS_FINISH, FM_K_UP}));
  // Output (1,5)-(30,29) reduced by 4 is (0,1)-(8,8); grown by the reach plus the
  // enlargement's neighbour: (-4,-1)-(12,10).
  ASSERT_EQ(be.sizes.size(), 4u);
  EXPECT_EQ(be.sizes[1], (std::pair<int, int>{16, 11}));
  EXPECT_EQ(be.sizes[2], (std::pair<int, int>{16, 11}));
  // The edge image: the input reduced, (-1,0)-(9,8), within the work region.
  EXPECT_EQ(be.sizes[3], (std::pair<int, int>{10, 8}));
  const FMParams& down = be.launches[0].p;
  EXPECT_EQ(down.n, 4);
  EXPECT_EQ(down.mode, 1);
  EXPECT_EQ(down.lo, 1);
  EXPECT_EQ(down.hi, 39);
  EXPECT_EQ(down.lo2, 1);
  EXPECT_EQ(down.hi2, 29);
  EXPECT_EQ(down.ax, 0);   // 4 x (-1) - (-4)
  EXPECT_EQ(down.ay, -2);  // 4 x 0 - 2
  const FMParams& up = be.launches[6].p;
  EXPECT_EQ(up.g0, 0.25f);
  EXPECT_EQ(up.g1, 17.0f);  // 1 - 4 x (-4)
  EXPECT_EQ(up.g2, 9.0f);   // 5 - 4 x (-1)
  EXPECT_EQ(be.launches[2].p.flags, FM_F_LINEAR | FM_F_SRGB);
  EXPECT_EQ(be.launches[3].p.mode, FM_EDGE_ZERO);  // edges are already in the image
  EXPECT_EQ(be.live(), 0u);

  // Against the same steps in double precision.
  RefImage full = fmtest::refLoad(src, placed, input, Rect{-40, -40, 80, 80});
  RefImage red = fmtest::refReduce(full, 4, &input);
  fmtest::refRepeatEdges(red, fm::reducedBy(input, 4));
  fmtest::refToLinear(red);
  fmtest::refBox(red, true, 2.5);
  fmtest::refBox(red, false, 1.0);
  fmtest::refFromLinear(red);
  EXPECT_LT(maxAbs(r.out, fmtest::refEnlarge(red, 4, out)), 2e-5);
}

TEST(SeparableRunner, MalformedPlansAreRefusedBeforeAnyWork) {
  const HostImage src = blurtest::premultipliedImage(8, 8, 1);
  const Rect placed{0, 0, 8, 8};
  std::vector<float> taps97(97, 1.0f / 97), taps95(95, 1.0f / 95);
  SeparablePlan tooLong = planOf({box(true, 1), direct(false, taps97)});
  SeparablePlan mismatched = planOf({direct(true, {0.25f, 0.5f, 0.25f})});
  mismatched.passes[0].n = 3;
  SeparablePlan negative = planOf({box(true, -1)});
  SeparablePlan nanFrac = planOf({box(true, 1, std::nanf(""))});
  SeparablePlan noFactor = planOf({box(true, 1)}, 0);
  SeparablePlan hugeFactor = planOf({box(true, 1)}, 65);
  struct Case {
    const char* what;
    const SeparablePlan* plan;
    int mode;
  } cases[] = {{"97 taps", &tooLong, FM_EDGE_ZERO},     {"taps not 2n + 1", &mismatched, FM_EDGE_ZERO},
               {"negative n", &negative, FM_EDGE_ZERO}, {"NaN frac", &nanFrac, FM_EDGE_ZERO},
               {"factor 0", &noFactor, FM_EDGE_ZERO},   {"factor 65", &hugeFactor, FM_EDGE_CLAMP},
               {"edge mode 3", &negative, 3},           {"edge mode -1", &noFactor, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingBackend be;
    EXPECT_FALSE(runPlan(be, *c.plan, c.mode, src, placed, placed, placed).ok);
    EXPECT_TRUE(be.launches.empty());
    EXPECT_EQ(be.sizes.size(), 1u);
  }
  // 95 taps still fit the block.
  RecordingBackend be;
  RunResult ok = runPlan(be, planOf({direct(true, taps95)}), FM_EDGE_ZERO, src, placed, placed, placed);
  EXPECT_TRUE(ok.ok);
  ASSERT_EQ(be.launches.size(), 3u);
  EXPECT_EQ(be.launches[1].kernel, FM_K_CONV_ROWS);
  EXPECT_EQ(be.launches[1].p.n, 47);
  EXPECT_EQ(be.launches[1].p.t[94], 1.0f / 95);
  EXPECT_EQ(be.launches[1].cost, 95.0);
}

TEST(SeparableRunner, AbortReportedAfterAPassEndsTheRun) {
  RecordingBackend be;
  be.abortAfter = 2;  // the fill and the first pass run, then the host asks to stop
  const HostImage src = blurtest::premultipliedImage(16, 16, 2);
  const Rect placed{0, 0, 16, 16};
  const SeparablePlan plan = planOf({box(true, 2), box(false, 2), box(true, 2), box(false, 2)});
  EXPECT_FALSE(runPlan(be, plan, FM_EDGE_ZERO, src, placed, placed, placed).ok);
  EXPECT_EQ(be.launches.size(), 2u);
  EXPECT_EQ(be.live(), 0u);
}

}  // namespace
