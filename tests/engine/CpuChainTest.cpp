// Box passes chained along one axis: the CPU backend runs them fused, at every instruction-set
// level, and the last image holds exactly what launching the links one by one gives.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/cpu/CpuBackend.h"
#include "engine/ThreadParallel.h"
#include "tests/support/KernelRun.h"
#include "tests/support/TestImage.h"

namespace {

using fmtest::HostImage;

std::vector<fm::CpuIsa> supportedLevels() {
  std::vector<fm::CpuIsa> levels;
  for (int i = 0; i < fm::kCpuIsaCount; ++i)
    if (fm::cpuIsaSupported(fm::CpuIsa(i))) levels.push_back(fm::CpuIsa(i));
  return levels;
}

// A source, two ping-pong images and the links between them, described by image index
// (0: source, 1 and 2: the ping-pong pair) so that the same chain can be replayed on copies.
struct Chain {
  std::string what;
  std::vector<HostImage> images;
  std::vector<fmtest::KernelCall> links;  // dst/srcA filled in per replay
  std::vector<int> from, to;
};

// A random fusable chain along one axis: box passes of every radius and edge rule the planners
// ask for and some they do not (negative n), optionally led by a shifted, windowed copy or (along
// columns) followed by a shifted copy of the result into an image of another size (image 3), with
// odd sizes and, now and then, the result written over the chain's own source.
Chain randomChain(std::mt19937& rng, bool rows) {
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  Chain c;
  const int w = pick(29, 140), h = pick(23, 90);
  c.images.push_back(fmtest::randomImage(w + pick(0, 9), h + pick(0, 7), rng(), -0.5f, 1.5f, true));
  c.images.push_back(fmtest::randomImage(w, h, rng(), 0, 1, false, w + pick(0, 3)));
  c.images.push_back(fmtest::randomImage(w, h, rng(), 0, 1, false, w + pick(0, 3)));
  const int count = pick(2, 5);
  const bool copyFirst = rows && pick(0, 1);
  // In place: the links start on image 1, so an even count ends there again.
  int at = copyFirst || pick(0, 2) > 0 ? 0 : 1;
  c.what = std::string(rows ? "rows" : "columns") + ", " + std::to_string(count) + " links" +
           (copyFirst ? ", copy first" : "") + (at == 1 ? ", from image 1" : "") + ", " + std::to_string(w) +
           " x " + std::to_string(h);
  for (int j = 0; j < count; ++j) {
    const int next = at == 1 ? 2 : 1;
    fmtest::KernelCall k;
    k.params = fmtest::blockFor(&c.images[next], &c.images[at], nullptr);
    const int L = rows ? w : h;
    if (j == 0 && copyFirst) {
      k.kernel = FM_K_COPY;
      k.params.ax = pick(-6, 6);
      k.params.ay = pick(-6, 6);
      if (pick(0, 1)) {
        k.params.mode = 1;
        k.params.lo = pick(0, 4);
        k.params.hi = c.images[0].width() - pick(0, 4);
        k.params.lo2 = pick(0, 4);
        k.params.hi2 = c.images[0].height() - pick(0, 4);
      }
      k.gridW = w;
      k.gridH = h;
    } else {
      const int radii[] = {-2, 0, 1, 3, 6, 45};
      const float fracs[] = {0.0f, 0.3f, 0.5f};
      k.params.n = radii[pick(0, 5)];
      k.params.frac = fracs[pick(0, 2)];
      // Clamping repeats the source's edge rows, which only an image has to give.
      const int modes = rows || (j == 0) ? 2 : 1;
      const int mode = pick(0, modes);
      k.params.mode = mode == 0 ? FM_EDGE_ZERO : mode == 1 ? FM_EDGE_INSIDE : FM_EDGE_CLAMP;
      k.params.lo = pick(-3, 6);
      k.params.hi = L - pick(-3, 6);
      // Segments anywhere along rows; along columns only the last link may cut them.
      const bool cut = pick(0, 2) == 0 && (rows || j == count - 1);
      k.params.segLen = cut ? pick(7, 20) : L;
      const int segments = (L + k.params.segLen - 1) / k.params.segLen;
      k.kernel = rows ? FM_K_BOX_ROWS : FM_K_BOX_COLS;
      k.gridW = rows ? segments : w;
      k.gridH = rows ? h : segments;
      if (!rows) k.params.y1 = segments;
      k.cost = 4.0 * k.params.segLen;
    }
    c.links.push_back(k);
    c.from.push_back(at);
    c.to.push_back(next);
    at = next;
  }
  if (!rows && pick(0, 2) > 0) {
    // Leaving zeros on every side of the result, or cropping it on every side.
    const bool around = pick(0, 1);
    const int ax = around ? pick(-8, -1) : pick(1, 8), ay = around ? pick(-8, -1) : pick(1, 8);
    const int ow = around ? w - ax + pick(1, 8) : w - ax - pick(1, 8);
    const int oh = around ? h - ay + pick(1, 8) : h - ay - pick(1, 8);
    c.images.push_back(fmtest::randomImage(ow, oh, rng(), 0, 1, false, ow + pick(0, 3)));
    fmtest::KernelCall k;
    k.kernel = FM_K_COPY;
    k.params = fmtest::blockFor(&c.images[3], &c.images[at], nullptr);
    k.params.ax = ax;
    k.params.ay = ay;
    k.gridW = ow;
    k.gridH = oh;
    c.links.push_back(k);
    c.from.push_back(at);
    c.to.push_back(3);
    c.what += ", copied to " + std::to_string(ow) + " x " + std::to_string(oh) + " from " +
              std::to_string(k.params.ax) + ", " + std::to_string(k.params.ay);
  }
  return c;
}

TEST(CpuChains, FusedChainsEqualTheirLinksRunOneByOne) {
  std::mt19937 rng(2024);
  fm::ThreadParallel par(3);
  for (int round = 0; round < 40; ++round) {
    const Chain c = randomChain(rng, round % 2 == 0);
    SCOPED_TRACE(c.what);
    // The reference: every link through the kernel's own work items.
    std::vector<HostImage> expected = c.images;
    for (size_t j = 0; j < c.links.size(); ++j) {
      fmtest::KernelCall k = c.links[j];
      k.dst = &expected[c.to[j]];
      k.srcA = &expected[c.from[j]];
      ASSERT_TRUE(fmtest::runItemsOnCpu(k));
    }
    const int last = c.to.back();
    const bool copyAfter = last == 3;
    const int lastBox = copyAfter ? c.to[c.to.size() - 2] : last;
    for (fm::CpuIsa isa : supportedLevels()) {
      std::vector<HostImage> got = c.images;
      std::vector<fm::Buffer> buffers;
      for (const HostImage& im : got) buffers.push_back(im.buffer());
      std::vector<fm::ChainLink> links;
      for (size_t j = 0; j < c.links.size(); ++j) {
        const fmtest::KernelCall& k = c.links[j];
        links.push_back({k.kernel, &buffers[c.to[j]], &buffers[c.from[j]], k.params, k.gridW, k.gridH, k.cost});
      }
      fm::CpuBackend be(&par, nullptr, nullptr, isa);
      ASSERT_TRUE(be.launchChain(links.data(), int(links.size())));
      EXPECT_EQ(fmtest::firstDifference(got[last], expected[last]), "") << fm::cpuIsaName(isa);
      // The images between the links are left alone: the chain really ran fused.
      const int between = 3 - lastBox;
      if (between != c.from[0]) {
        EXPECT_EQ(fmtest::firstDifference(got[between], c.images[between]), "") << fm::cpuIsaName(isa);
      }
      if (copyAfter) {
        EXPECT_EQ(fmtest::firstDifference(got[lastBox], c.images[lastBox]), "") << fm::cpuIsaName(isa);
      }
    }
  }
}

// A direct rows pass and the column pass after it, now and then led by a copy and followed by a
// shifted copy into an image of another size, as a Gaussian launches them: run in tiles at every
// level, they give exactly what launching the links one by one gives, and the images between
// them are left alone. Wide images take several strips of tiles, narrow ones tiles cut across;
// every window length and both edge rules with shifted valid ranges put the rows' windows at
// every alignment; the last copy crops the result or leaves zeros around it.
TEST(CpuChains, DirectPairsEqualTheirPassesRunOneByOne) {
  std::mt19937 rng(77);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  fm::ThreadParallel par(3);
  for (int round = 0; round < 24; ++round) {
    const bool copyFirst = round % 2 == 1, copyAfter = round / 2 % 2 == 1;
    const int w = round % 4 == 0 ? pick(520, 1100) : pick(5, 120), h = pick(5, 150);
    // 0: the chain's source, 1: the copy's image (and the result after one), 2: between the
    // passes, 3: the result without a copy.
    std::vector<HostImage> im = {fmtest::randomImage(w + pick(0, 9), h + pick(0, 9), rng(), -0.5f, 1.5f, true),
                                 fmtest::randomImage(w, h, rng(), 0, 1, false, w + pick(0, 5)),
                                 fmtest::randomImage(w, h, rng(), 0, 1, false, w + pick(0, 5)),
                                 fmtest::randomImage(w, h, rng(), 0, 1, false, w + pick(0, 5))};
    const int ow = std::max(1, w + pick(-8, 8)), oh = std::max(1, h + pick(-8, 8));
    im.push_back(fmtest::randomImage(ow, oh, rng(), 0, 1, false, ow + pick(0, 5)));  // 4: after the last copy
    const int rowsFrom = copyFirst ? 1 : 0, last = copyFirst ? 1 : 3, result = copyAfter ? 4 : last;
    std::vector<fmtest::KernelCall> links;
    std::vector<int> from, to;
    // A link from image a to image d, its block made from their sizes.
    auto link = [&](int kernel, int a, int d) -> FMParams& {
      fmtest::KernelCall k;
      k.kernel = kernel;
      k.params = fmtest::blockFor(&im[d], &im[a], nullptr);
      k.gridW = im[d].width();
      k.gridH = im[d].height();
      links.push_back(k);
      from.push_back(a);
      to.push_back(d);
      return links.back().params;
    };
    std::string what = std::to_string(w) + " x " + std::to_string(h) + (copyFirst ? ", copy first" : "");
    if (copyFirst) {
      FMParams& p = link(FM_K_COPY, 0, 1);
      p.ax = pick(-6, 6);
      p.ay = pick(-6, 6);
      p.g0 = pick(0, 1) ? 1.0f : 0.75f;
      if (pick(0, 1)) {
        p.mode = 1;
        p.lo = pick(0, 4);
        p.hi = im[0].width() - pick(0, 4);
        p.lo2 = pick(0, 4);
        p.hi2 = im[0].height() - pick(0, 4);
      }
    }
    for (int axis = 0; axis < 2; ++axis) {
      const int radii[] = {0, 1, 3, 6, 7, 8, 9, 12, (FM_T_FLOATS - 1) / 2};
      FMParams& p = axis == 0 ? link(FM_K_CONV_ROWS, rowsFrom, 2) : link(FM_K_CONV_COLS, 2, last);
      p.n = radii[pick(0, 8)];
      for (int j = 0; j <= 2 * p.n; ++j) p.t[j] = std::uniform_real_distribution<float>(-0.2f, 0.5f)(rng);
      p.mode = pick(0, 1) ? FM_EDGE_ZERO : FM_EDGE_INSIDE;
      p.lo = pick(-3, 6);
      p.hi = (axis == 0 ? w : h) - pick(-3, 6);
      what += std::string(axis == 0 ? ", rows n " : ", columns n ") + std::to_string(p.n);
    }
    if (copyAfter) {
      FMParams& p = link(FM_K_COPY, last, 4);
      // Some of the result always lands in the image.
      p.ax = pick(std::max(-6, 1 - ow), std::min(6, w - 1));
      p.ay = pick(std::max(-6, 1 - oh), std::min(6, h - 1));
      what += ", copy after to " + std::to_string(ow) + " x " + std::to_string(oh) + " from " +
              std::to_string(p.ax) + ", " + std::to_string(p.ay);
    }
    SCOPED_TRACE(what);
    std::vector<HostImage> expected = im;
    for (size_t j = 0; j < links.size(); ++j) {
      fmtest::KernelCall k = links[j];
      k.dst = &expected[to[j]];
      k.srcA = &expected[from[j]];
      ASSERT_TRUE(fmtest::runItemsOnCpu(k));
    }
    for (fm::CpuIsa isa : supportedLevels()) {
      std::vector<HostImage> got = im;
      std::vector<fm::Buffer> buffers;
      for (const HostImage& x : got) buffers.push_back(x.buffer());
      std::vector<fm::ChainLink> chain;
      for (size_t j = 0; j < links.size(); ++j)
        chain.push_back({links[j].kernel, &buffers[to[j]], &buffers[from[j]], links[j].params, links[j].gridW,
                         links[j].gridH, 1.0});
      fm::CpuBackend be(&par, nullptr, nullptr, isa);
      ASSERT_TRUE(be.launchChain(chain.data(), int(chain.size())));
      EXPECT_EQ(fmtest::firstDifference(got[result], expected[result]), "") << fm::cpuIsaName(isa);
      EXPECT_EQ(fmtest::firstDifference(got[2], im[2]), "") << fm::cpuIsaName(isa) << ": the pair did not run fused";
      if (copyAfter) {
        EXPECT_EQ(fmtest::firstDifference(got[last], im[last]), "") << fm::cpuIsaName(isa);
      }
    }
  }
}

// Jacobi steps of the flow's refinement, chained as the tracker chains them (ping-pong, the
// result over the source or into another image, the last step writing the confidence): swept in
// bands at every level they give exactly what the steps give one by one, with weights and data
// terms that hold NaN, infinities and negative weights, flows long enough to be limited, and
// images from one row to several bands tall. A chain whose step writes over the data term it
// shares is not swept, and still gives what its steps give.
TEST(CpuChains, RefineStepsSweptInBandsEqualTheStepsOneByOne) {
  std::mt19937 rng(5150);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  fm::ThreadParallel par(5);
  for (int round = 0; round < 30; ++round) {
    const int w = pick(1, 3) == 1 ? pick(1, 9) : pick(10, 90), h = round % 5 == 0 ? pick(1, 6) : pick(20, 240);
    const int count = pick(2, 5), n = w + pick(0, 3);
    const bool elsewhere = pick(0, 3) == 0, overTerm = round == 7;
    // 0: the source, 1: ping-pong, 2: another result image, 3: the data term.
    std::vector<HostImage> im = {fmtest::randomImage(w, h, rng(), -4.0f, 4.0f, pick(0, 2) == 0, w + pick(0, 3)),
                                 fmtest::randomImage(w, h, rng(), 0, 1, false, w + pick(0, 3)),
                                 fmtest::randomImage(w, h, rng(), 0, 1, false, w + pick(0, 3)),
                                 fmtest::randomImage(w, h, rng(), -1.0f, 1.0f, pick(0, 2) == 0, w + pick(0, 3))};
    std::vector<float> weights(size_t(h) * n * 4);
    for (float& v : weights) v = std::uniform_real_distribution<float>(-0.2f, 1.0f)(rng);
    if (pick(0, 1))
      for (int j = 0; j < 20; ++j) weights[size_t(pick(0, int(weights.size()) - 1))] = std::nanf("");
    const float maxFlow = pick(0, 2) == 0 ? 0.75f : 100.0f;
    std::vector<fmtest::KernelCall> links;
    std::vector<int> from, to;
    for (int j = 0, at = 0; j < count; ++j) {
      int next = at == 0 ? 1 : 0;
      if (j == count - 1 && elsewhere) next = 2;
      if (j == 0 && overTerm) next = 3;
      fmtest::KernelCall k;
      k.kernel = FM_K_FLOW_REFINE;
      k.params = fmtest::blockFor(&im[next], &im[at], &im[3]);
      k.params.n = n;
      k.params.g0 = maxFlow;
      k.params.g3 = 1.0f;
      k.params.mode = j == count - 1 || pick(0, 3) == 0 ? 1 : 0;
      k.gridW = w + pick(0, 2);
      k.gridH = h + pick(0, 2);
      links.push_back(k);
      from.push_back(at);
      to.push_back(next);
      at = next;
    }
    const int result = to.back();
    SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h) + ", " + std::to_string(count) + " steps" +
                 (result == 0 ? ", over the source" : "") + (overTerm ? ", first over the data term" : ""));
    std::vector<HostImage> expected = im;
    for (size_t j = 0; j < links.size(); ++j) {
      fmtest::KernelCall k = links[j];
      k.dst = &expected[to[j]];
      k.srcA = &expected[from[j]];
      k.srcB = &expected[3];
      k.table = &weights;
      ASSERT_TRUE(fmtest::runItemsOnCpu(k));
    }
    for (fm::CpuIsa isa : supportedLevels()) {
      std::vector<HostImage> got = im;
      std::vector<fm::Buffer> buffers;
      for (const HostImage& x : got) buffers.push_back(x.buffer());
      fm::Table table{const_cast<float*>(weights.data()), weights.size()};
      std::vector<fm::ChainLink> chain;
      for (size_t j = 0; j < links.size(); ++j)
        chain.push_back({links[j].kernel, &buffers[to[j]], &buffers[from[j]], links[j].params, links[j].gridW,
                         links[j].gridH, 8.0, &buffers[3], &table});
      // On the calling thread, the bands run in order.
      fm::CpuBackend be(round % 2 ? &par : nullptr, nullptr, nullptr, isa);
      ASSERT_TRUE(be.launchChain(chain.data(), int(chain.size())));
      EXPECT_EQ(fmtest::firstDifference(got[result], expected[result]), "") << fm::cpuIsaName(isa);
      if (result != 1 && !overTerm) {
        EXPECT_EQ(fmtest::firstDifference(got[1], im[1]), "") << fm::cpuIsaName(isa) << ": the steps were not swept";
      }
    }
  }
}

// Chains the CPU does not fuse still run, link by link; an abort stops a fused one and latches.
TEST(CpuChains, UnfusedChainsRunLinkByLinkAndAbortLatches) {
  fm::ThreadParallel par(2);
  HostImage src = fmtest::randomImage(40, 30, 3), a(40, 30), b(40, 30);
  fm::Buffer s = src.buffer(), x = a.buffer(), y = b.buffer();
  auto box = [&](int kernel, fm::Buffer* d, const fm::Buffer* from) {
    fm::ChainLink l{kernel, d, from, FMParams{}, 0, 0, 4.0};
    fm::makeParams(l.params, d, from, nullptr);
    l.params.n = 2;
    l.params.segLen = kernel == FM_K_BOX_ROWS ? 40 : 30;
    l.gridW = kernel == FM_K_BOX_ROWS ? 1 : 40;
    l.gridH = kernel == FM_K_BOX_ROWS ? 30 : 1;
    if (kernel == FM_K_BOX_COLS) l.params.y1 = 1;
    return l;
  };
  // Rows then columns: two axes, so two plain launches, each of which writes its image.
  std::vector<fm::ChainLink> mixed = {box(FM_K_BOX_ROWS, &x, &s), box(FM_K_BOX_COLS, &y, &x)};
  HostImage expectedA = a, expectedB = b;
  auto items = [](const fm::ChainLink& l, HostImage& dst, const HostImage& from) {
    fmtest::KernelCall k;
    k.kernel = l.kernel;
    k.dst = &dst;
    k.srcA = &from;
    k.params = l.params;
    k.gridW = l.gridW;
    k.gridH = l.gridH;
    return fmtest::runItemsOnCpu(k);
  };
  ASSERT_TRUE(items(mixed[0], expectedA, src));
  ASSERT_TRUE(items(mixed[1], expectedB, expectedA));
  fm::CpuBackend be(&par, nullptr, nullptr);
  ASSERT_TRUE(be.launchChain(mixed.data(), 2));
  EXPECT_EQ(fmtest::firstDifference(a, expectedA), "");
  EXPECT_EQ(fmtest::firstDifference(b, expectedB), "");

  const HostImage before = b;
  fm::CpuBackend stopped(&par, [](void*) { return true; }, nullptr);
  std::vector<fm::ChainLink> rows = {box(FM_K_BOX_ROWS, &x, &s), box(FM_K_BOX_ROWS, &y, &x)};
  EXPECT_FALSE(stopped.launchChain(rows.data(), 2));
  EXPECT_TRUE(stopped.wasAborted());
  EXPECT_FALSE(stopped.launchChain(rows.data(), 2)) << "an aborted backend launches nothing more";
  EXPECT_EQ(fmtest::firstDifference(b, before), "");

  // A direct pair stops too, before any tile writes its result.
  auto conv = [&](int kernel, fm::Buffer* d, const fm::Buffer* from) {
    fm::ChainLink l{kernel, d, from, FMParams{}, 40, 30, 3.0};
    fm::makeParams(l.params, d, from, nullptr);
    l.params.n = 1;
    l.params.t[0] = l.params.t[1] = l.params.t[2] = 1.0f / 3;
    return l;
  };
  std::vector<fm::ChainLink> pair = {conv(FM_K_CONV_ROWS, &x, &s), conv(FM_K_CONV_COLS, &y, &x)};
  fm::CpuBackend stoppedPair(&par, [](void*) { return true; }, nullptr);
  EXPECT_FALSE(stoppedPair.launchChain(pair.data(), 2));
  EXPECT_TRUE(stoppedPair.wasAborted());
  EXPECT_EQ(fmtest::firstDifference(b, before), "");

  // And so do swept refinement steps, before any band writes its rows.
  HostImage term = fmtest::randomImage(40, 30, 4);
  std::vector<float> weights(40 * 30 * 4, 0.25f);
  fm::Buffer t = term.buffer();
  fm::Table table{weights.data(), weights.size()};
  auto step = [&](fm::Buffer* d, const fm::Buffer* from) {
    fm::ChainLink l{FM_K_FLOW_REFINE, d, from, FMParams{}, 40, 30, 8.0, &t, &table};
    fm::makeParams(l.params, d, from, &t);
    l.params.n = 40;
    l.params.g0 = 10.0f;
    return l;
  };
  std::vector<fm::ChainLink> steps = {step(&x, &s), step(&y, &x)};
  fm::CpuBackend stoppedSteps(&par, [](void*) { return true; }, nullptr);
  EXPECT_FALSE(stoppedSteps.launchChain(steps.data(), 2));
  EXPECT_TRUE(stoppedSteps.wasAborted());
  EXPECT_EQ(fmtest::firstDifference(b, before), "");
}

}  // namespace
