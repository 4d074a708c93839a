// How launches are cut into chunks: the figures decide load balance and per-chunk overhead.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/CpuBackend.h"
#include "engine/CpuChunking.h"
#include "tests/support/TestBackends.h"

namespace {

using fm::planCpuChunks;

FMParams block(int dW, int dH, int y1) {
  FMParams p{};
  p.dW = dW;
  p.dH = dH;
  p.y1 = y1;
  return p;
}

TEST(Chunking, GeneralPathFigures) {
  const FMParams p = block(100, 1000, 1000);
  // A quarter of a thread's share: 1000 / 32 = 31 rows, well under the 655-row budget.
  fm::ChunkPlan c = planCpuChunks(FM_K_COPY, p, false, 100, 1000, 1.0, 8);
  EXPECT_EQ(c.perChunk, 31);
  EXPECT_EQ(c.chunks, 33);
  EXPECT_FALSE(c.specialised);
  // One row per chunk once a single row exceeds the budget.
  c = planCpuChunks(FM_K_COPY, p, false, 100000, 10, 1.0, 8);
  EXPECT_EQ(c.perChunk, 1);
  EXPECT_EQ(c.chunks, 10);
  // A single row stays a single chunk however many threads there are.
  c = planCpuChunks(FM_K_COPY, p, false, 5000, 1, 1.0, 16);
  EXPECT_EQ(c.chunks, 1);
  // The cost hint shrinks the budget: 65536 / (100 * 40) = 16 rows.
  c = planCpuChunks(FM_K_COPY, p, false, 100, 1000, 40.0, 2);
  EXPECT_EQ(c.perChunk, 16);
  EXPECT_EQ(c.chunks, 63);
  // Costs below 1 (and NaN) count as 1; one thread counts as one.
  c = planCpuChunks(FM_K_COPY, p, false, 100, 1000, 0.1, 0);
  EXPECT_EQ(c.perChunk, 250);
  EXPECT_EQ(c.chunks, 4);
  c = planCpuChunks(FM_K_COPY, p, false, 100, 1000, std::nan(""), 1);
  EXPECT_EQ(c.perChunk, 250);
}

TEST(Chunking, SpecialisedRunnerFigures) {
  // Box rows: budget of 65536 per row of dW; rows limited by dH, y1 and the grid.
  FMParams p = block(100000, 500, 400);
  fm::ChunkPlan c = planCpuChunks(FM_K_BOX_ROWS, p, true, 10, 600, 1.0, 4);
  EXPECT_TRUE(c.specialised);
  EXPECT_EQ(c.total, 400);
  EXPECT_EQ(c.perChunk, 1);
  EXPECT_EQ(c.chunks, 400);
  p = block(64, 500, 500);
  c = planCpuChunks(FM_K_BOX_ROWS, p, true, 64, 300, 1.0, 4);
  EXPECT_EQ(c.total, 300);
  EXPECT_EQ(c.perChunk, 18);  // 300 / 16
  EXPECT_EQ(c.chunks, 17);

  // Box columns in strips of 8 to 64: 20 columns on 16 threads make 3 strips of 8.
  p = block(20, 50, 7);
  c = planCpuChunks(FM_K_BOX_COLS, p, true, 20, 7, 1.0, 16);
  EXPECT_EQ(c.perChunk, 8);
  EXPECT_EQ(c.chunks, 3);
  p = block(10000, 50, 7);
  c = planCpuChunks(FM_K_BOX_COLS, p, true, 10000, 7, 1.0, 2);
  EXPECT_EQ(c.perChunk, 64);
  EXPECT_EQ(c.chunks, 157);

  // Translation group pass and constant-radius gather: 262144 per dW x taps x 4.
  p = block(1000, 800, 800);
  p.count = 16;
  c = planCpuChunks(FM_K_GROUP, p, true, 1000, 800, 1.0, 2);
  EXPECT_EQ(c.perChunk, 4);  // min(800 / 8, 262144 / 64000)
  EXPECT_EQ(c.chunks, 200);
  p.count = 0;  // the group pass counts at least one tap
  c = planCpuChunks(FM_K_GROUP, p, true, 1000, 800, 1.0, 2);
  EXPECT_EQ(c.perChunk, 65);
  c = planCpuChunks(FM_K_LENS_GATHER, p, true, 1000, 800, 1.0, 2);
  EXPECT_EQ(c.perChunk, 100);  // zero taps: the budget does not bind

  // Nothing to do: no chunks, so the launch returns without running.
  p = block(10, 0, 0);
  c = planCpuChunks(FM_K_BOX_ROWS, p, true, 10, 10, 1.0, 2);
  EXPECT_EQ(c.chunks, 0);
}

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

// The backend hands the parallel-for exactly the planned number of chunks.
TEST(Chunking, LaunchUsesThePlan) {
  fmtest::RecordingParallel par(8);
  fm::CpuBackend be(&par, nullptr, nullptr);
  fm::Buffer img;
  ASSERT_TRUE(be.allocImage(img, 100, 1000));
  FMParams p;
  fm::makeParams(p, &img, nullptr, nullptr);
  ASSERT_TRUE(be.launch(FM_K_CLEAR, &img, nullptr, nullptr, nullptr, &p, 100, 1000, 1.0));
  ASSERT_TRUE(be.launch(FM_K_CLEAR, &img, nullptr, nullptr, nullptr, &p, 100000, 10, 1.0));
  EXPECT_EQ(par.counts, (std::vector<int>{33, 10}));
  be.freeImage(img);
}

}  // namespace
