// How launches are cut into chunks: every row (or column) in exactly one chunk, every chunk within
// its work budget unless it is a single row, enough chunks to keep every thread busy, and the
// backend handing the parallel-for exactly the planned chunks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "engine/cpu/CpuBackend.h"
#include "engine/cpu/CpuChunking.h"
#include "tests/support/RandomDraw.h"
#include "tests/support/TestBackends.h"

namespace {

using fm::ChunkPlan;
using fm::planCpuChunks;

struct Launch {
  int kernel = FM_K_COPY;
  bool specialised = false;
  FMParams p{};
  int gridW = 1, gridH = 1;
  double cost = 1.0;
  int threads = 1;

  std::string text() const {
    std::ostringstream s;
    s << "kernel " << kernel << (specialised ? " specialised" : "") << ", grid " << gridW << "x" << gridH << ", dst "
      << p.dW << "x" << p.dH << " y1 " << p.y1 << ", count " << p.count << ", cost " << cost << ", threads "
      << threads;
    return s.str();
  }
};

// Work units of one row (or, for column strips, nothing: they are bounded by width alone) and
// the budget they must keep to.
double rowWork(const Launch& l) {
  switch (l.specialised ? l.kernel : -1) {
    case FM_K_BOX_ROWS:
      return double(l.p.dW);
    case FM_K_GROUP:
      return double(l.p.dW) * std::max(l.p.count, 1) * 4.0;
    case FM_K_LENS_GATHER:
      return double(l.p.dW) * l.p.count * 4.0;
    default:
      return double(l.gridW) * (l.cost >= 1.0 ? l.cost : 1.0);
  }
}

double budget(const Launch& l) {
  if (l.specialised && l.kernel == FM_K_LENS_GATHER) return 67108864.0;
  return l.specialised && l.kernel == FM_K_GROUP ? 262144.0 : 65536.0;
}

std::string violation(const Launch& l, const ChunkPlan& c) {
  const bool columns = l.specialised && l.kernel == FM_K_BOX_COLS;
  const int total = columns ? std::min(l.p.dW, l.gridW)
                            : l.specialised ? std::min({l.p.dH, l.p.y1, l.gridH}) : l.gridH;
  if (std::max(total, 0) != c.total) return "covers " + std::to_string(c.total) + " of " + std::to_string(total);
  if (c.perChunk < 1) return "empty chunks";
  // Every row in exactly one chunk: the last chunk reaches the end and none lies beyond it.
  if (total > 0 && !(int64_t(c.chunks - 1) * c.perChunk < total && int64_t(c.chunks) * c.perChunk >= total))
    return std::to_string(c.chunks) + " chunks of " + std::to_string(c.perChunk) + " for " + std::to_string(total);
  if (total <= 0 && c.chunks != 0) return "chunks without rows";
  const int T = std::max(l.threads, 1);
  if (columns) {
    if (c.perChunk < 8 || c.perChunk > 256) return "strip of " + std::to_string(c.perChunk) + " columns";
    if (c.chunks < std::min(4 * T, (total + 7) / 8)) return "too few strips";
    return "";
  }
  // A column convolution may take a few dozen rows whatever their work: it shares loads across them.
  const int floorRows = !l.specialised && l.kernel == FM_K_CONV_COLS ? 32 : 1;
  if (c.perChunk > floorRows && c.perChunk * rowWork(l) > budget(l)) return "chunk over its budget";
  if (total > 0 && c.chunks < std::min(4 * T, total)) return "too few chunks for the threads";
  return "";
}

Launch drawLaunch(fmtest::RandomDraw& d, bool specialised) {
  static const int general[] = {FM_K_COPY, FM_K_CONV_COLS, FM_K_BOX_ROWS, FM_K_GROUP};
  static const int special[] = {FM_K_BOX_ROWS, FM_K_BOX_COLS, FM_K_GROUP, FM_K_LENS_GATHER};
  Launch l;
  l.specialised = specialised;
  l.kernel = (specialised ? special : general)[d.integer(0, 3)];
  auto size = [&] {
    return d.chance(0.1) ? d.integer(0, 2) : d.chance(0.5) ? d.integer(1, 300) : d.integer(1, 200000);
  };
  l.gridW = size();
  l.gridH = size();
  l.p.dW = d.chance(0.7) ? l.gridW : size();
  l.p.dH = d.chance(0.7) ? l.gridH : size();
  l.p.y1 = d.chance(0.7) ? l.p.dH : size();
  l.p.count = d.integer(0, 40);
  l.cost = d.chance(0.1) ? std::nan("") : d.real(0.01, 300);
  l.threads = d.integer(0, 64);
  return l;
}

void checkRandomLaunches(bool specialised) {
  fmtest::RandomDraw d(specialised ? 2024 : 2025, false);
  for (int i = 0; i < 10000; ++i) {
    const Launch l = drawLaunch(d, specialised);
    const ChunkPlan c = planCpuChunks(l.kernel, l.p, l.specialised, l.gridW, l.gridH, l.cost, l.threads);
    ASSERT_EQ(c.specialised, specialised) << l.text();
    ASSERT_EQ(violation(l, c), "") << l.text();
  }
}

TEST(Chunking, GeneralPathCoversEveryRowOnceWithinBudgetOnEveryThread) { checkRandomLaunches(false); }

TEST(Chunking, SpecialisedRunnersCoverEveryRowOnceWithinBudgetOnEveryThread) { checkRandomLaunches(true); }

TEST(Chunking, WhichLaunchesWantASpecialRunner) {
  FMParams p{};
  EXPECT_TRUE(fm::wantsSpecialRunner(FM_K_BOX_ROWS, p, true, false));
  EXPECT_FALSE(fm::wantsSpecialRunner(FM_K_BOX_ROWS, p, false, false));
  EXPECT_TRUE(fm::wantsSpecialRunner(FM_K_BOX_COLS, p, true, false));
  EXPECT_TRUE(fm::wantsSpecialRunner(FM_K_GROUP, p, true, false));
  p.mode = FM_GROUP_ROTATE;
  EXPECT_FALSE(fm::wantsSpecialRunner(FM_K_GROUP, p, true, false));
  p.mode = 0;
  EXPECT_FALSE(fm::wantsSpecialRunner(FM_K_LENS_GATHER, p, true, false));
  EXPECT_TRUE(fm::wantsSpecialRunner(FM_K_LENS_GATHER, p, true, true));
  p.mode = 1;
  EXPECT_FALSE(fm::wantsSpecialRunner(FM_K_LENS_GATHER, p, true, true));
  EXPECT_FALSE(fm::wantsSpecialRunner(FM_K_COPY, p, true, true));
}

// The backend hands the parallel-for exactly the planned chunks, and they write every row.
TEST(Chunking, LaunchRunsThePlan) {
  fmtest::RecordingParallel par(8);
  fm::CpuBackend be(&par, nullptr, nullptr);
  for (const int w : {100, 100000}) {
    const int h = w == 100 ? 1000 : 10;
    fm::Buffer img;
    ASSERT_TRUE(be.allocImage(img, w, h));
    FMParams p;
    fm::makeParams(p, &img, nullptr, nullptr);
    // Ones everywhere first, so that a row no chunk ran shows.
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) static_cast<float*>(img.data)[(int64_t(y) * img.pitch + x) * 4] = 1.0f;
    par.counts.clear();
    ASSERT_TRUE(be.launch(FM_K_CLEAR, &img, nullptr, nullptr, nullptr, &p, w, h, 1.0));
    const ChunkPlan c = planCpuChunks(FM_K_CLEAR, p, false, w, h, 1.0, 8);
    EXPECT_EQ(par.counts, std::vector<int>{c.chunks});
    for (int y = 0; y < h; ++y) ASSERT_EQ(static_cast<float*>(img.data)[int64_t(y) * img.pitch * 4], 0.0f) << y;
    be.freeImage(img);
  }
}

}  // namespace
