// The CPU backend's contract: allocation rules, refusals, and abort latching.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "engine/cpu/CpuBackend.h"
#include "engine/cpu/CpuKernelTable.h"
#include "engine/ThreadParallel.h"
#include "tests/support/TestBackends.h"
#include "tests/support/TestImage.h"

namespace {

using fm::Buffer;
using fm::CpuBackend;
using fm::Table;

TEST(CpuAlloc, PitchIsWidthRoundedToFourPixels) {
  fm::ThreadParallel par(2);
  CpuBackend be(&par, nullptr, nullptr);
  Buffer b;
  ASSERT_TRUE(be.allocImage(b, 5, 2));
  EXPECT_EQ(b.width, 5);
  EXPECT_EQ(b.height, 2);
  EXPECT_EQ(b.pitch, 8);
  EXPECT_TRUE(b.owned);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b.data) % 16, 0u);
  // The whole 256-byte image is addressable (ASan checks the last byte).
  std::memset(b.data, 0, size_t(b.height) * b.pitch * 16);
  be.freeImage(b);
  for (int w : {1, 4, 7}) {
    ASSERT_TRUE(be.allocImage(b, w, 1));
    EXPECT_EQ(b.pitch, (w + 3) / 4 * 4);
    be.freeImage(b);
  }
}

TEST(CpuAlloc, RefusalsLeaveTheHandleUntouched) {
  CpuBackend be(nullptr, nullptr, nullptr);
  const Buffer marker{reinterpret_cast<void*>(0x1234), 3, 4, 5, false};
  const int bad[][2] = {{0, 5}, {5, 0}, {-1, 5}, {5, -7},
                        // pitch x height just over 2^30 pixels
                        {32768, 32769}, {1 << 30, 2}, {2147483647, 1}};
  for (const auto& wh : bad) {
    Buffer b = marker;
    EXPECT_FALSE(be.allocImage(b, wh[0], wh[1])) << wh[0] << " x " << wh[1];
    EXPECT_EQ(b.data, marker.data);
    EXPECT_EQ(b.width, 3);
    EXPECT_EQ(b.pitch, 5);
  }
}

TEST(CpuAlloc, FreeZeroesAndIsHarmlessTwice) {
  CpuBackend be(nullptr, nullptr, nullptr);
  Buffer b;
  ASSERT_TRUE(be.allocImage(b, 3, 3));
  be.freeImage(b);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.width, 0);
  EXPECT_EQ(b.pitch, 0);
  be.freeImage(b);
  // A wrapped handle is only zeroed: the memory belongs to someone else (ASan would catch a free).
  std::vector<float> host(16);
  Buffer wrapped{host.data(), 1, 1, 4, false};
  be.freeImage(wrapped);
  EXPECT_EQ(wrapped.data, nullptr);
}

TEST(CpuTables, UploadCopiesAndHandlesEdgeCounts) {
  CpuBackend be(nullptr, nullptr, nullptr);
  const float v[3] = {1.5f, -2.0f, 3.25f};
  Table t;
  ASSERT_TRUE(be.uploadTable(t, v, 3));
  EXPECT_EQ(t.count, 3u);
  EXPECT_EQ(std::memcmp(t.data, v, sizeof v), 0);
  be.freeTable(t);
  EXPECT_EQ(t.data, nullptr);
  EXPECT_EQ(t.count, 0u);
  be.freeTable(t);

  ASSERT_TRUE(be.uploadTable(t, nullptr, 0));  // an empty table still has a handle
  EXPECT_NE(t.data, nullptr);
  EXPECT_EQ(t.count, 0u);
  be.freeTable(t);

  Table u{reinterpret_cast<void*>(0x99), 7};
  EXPECT_FALSE(be.uploadTable(u, nullptr, 4));  // no values to copy
  EXPECT_FALSE(be.uploadTable(u, v, SIZE_MAX / 2));  // byte size overflows
  EXPECT_EQ(u.data, reinterpret_cast<void*>(0x99));
  EXPECT_EQ(u.count, 7u);
}

TEST(CpuDownload, CopiesTheWholePitchAndRefusesNull) {
  CpuBackend be(nullptr, nullptr, nullptr);
  Buffer b;
  ASSERT_TRUE(be.allocImage(b, 3, 2));
  float* px = static_cast<float*>(b.data);
  for (int i = 0; i < 2 * 4 * 4; ++i) px[i] = float(i);
  std::vector<float> host(32, -1.0f);
  ASSERT_TRUE(be.download(b, host.data()));
  for (int i = 0; i < 32; ++i) EXPECT_EQ(host[i], float(i));
  EXPECT_FALSE(be.download(b, nullptr));
  Buffer none;
  EXPECT_FALSE(be.download(none, host.data()));
  be.freeImage(b);
}

class CpuLaunch : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(be.allocImage(img, 9, 7)); }
  void TearDown() override { be.freeImage(img); }
  bool clear(int gridW, int gridH, int kernel = FM_K_CLEAR) {
    fm::makeParams(p, &img, nullptr, nullptr);
    return be.launch(kernel, &img, nullptr, nullptr, nullptr, &p, gridW, gridH, 1.0);
  }
  fmtest::RecordingParallel par{4};
  CpuBackend be{&par, nullptr, nullptr};
  Buffer img;
  FMParams p{};
};

TEST_F(CpuLaunch, ChecksComeInOrder) {
  EXPECT_TRUE(clear(0, 5, 34));   // empty grid first, whatever the identifier
  EXPECT_TRUE(clear(5, -1, -3));
  EXPECT_FALSE(clear(9, 7, 34));
  EXPECT_FALSE(clear(9, 7, -1));
  for (int k = 0; k < FM_KERNEL_COUNT; ++k) {
    if (!fm::cpuBandRunner(k)) {
      EXPECT_FALSE(clear(9, 7, k)) << "kernel " << k << " is not built yet";
    }
  }
  EXPECT_TRUE(par.counts.empty());
  EXPECT_FALSE(be.wasAborted());
  EXPECT_TRUE(clear(9, 7));
}

TEST_F(CpuLaunch, RefusesMissingDestinationOrBlock) {
  fm::makeParams(p, &img, nullptr, nullptr);
  EXPECT_FALSE(be.launch(FM_K_CLEAR, nullptr, nullptr, nullptr, nullptr, &p, 9, 7, 1.0));
  Buffer empty;
  EXPECT_FALSE(be.launch(FM_K_CLEAR, &empty, nullptr, nullptr, nullptr, &p, 9, 7, 1.0));
  EXPECT_FALSE(be.launch(FM_K_CLEAR, &img, nullptr, nullptr, nullptr, nullptr, 9, 7, 1.0));
  EXPECT_FALSE(be.wasAborted());
}

TEST_F(CpuLaunch, RefusesABlockDescribingAnAbsentSource) {
  FMParams q;
  fm::makeParams(q, &img, &img, &img);
  EXPECT_FALSE(be.launch(FM_K_COPY, &img, nullptr, nullptr, nullptr, &q, 9, 7, 1.0));
  EXPECT_FALSE(be.launch(FM_K_COPY, &img, &img, nullptr, nullptr, &q, 9, 7, 1.0));
  Buffer empty;
  EXPECT_FALSE(be.launch(FM_K_COPY, &img, &empty, &img, nullptr, &q, 9, 7, 1.0));
  EXPECT_TRUE(be.launch(FM_K_COPY, &img, &img, &img, nullptr, &q, 9, 7, 1.0));
  EXPECT_FALSE(be.wasAborted());
}

TEST_F(CpuLaunch, OwnsY0) {
  fm::makeParams(p, &img, nullptr, nullptr);
  p.y0 = 3;
  ASSERT_TRUE(be.launch(FM_K_CLEAR, &img, nullptr, nullptr, nullptr, &p, 9, 7, 1.0));
  EXPECT_EQ(p.y0, 0);
}

TEST_F(CpuLaunch, HostStopOfTheParallelForFailsWithoutLatching) {
  par.result = false;
  EXPECT_FALSE(clear(9, 7));
  EXPECT_FALSE(be.wasAborted());
  par.result = true;
  EXPECT_TRUE(clear(9, 7));
}

// Pixels are 16-byte vectors: memory at another alignment (a wrapped host frame, say) would
// fault in any kernel, so a launch refuses it up front and leaves it as it was; the backend
// stays usable.
TEST(CpuMisalignedMemory, IsRefusedBeforeAnyWork) {
  constexpr int W = 45, H = 21, P = 48;
  const fmtest::HostImage src = fmtest::randomImage(W, H, 3, -0.5f, 1.5f, false, P);
  const size_t bytes = size_t(P) * H * 16;
  std::vector<fmtest::Px> storage(size_t(P) * H + 1);
  char* shifted = reinterpret_cast<char*>(storage.data()) + 4;
  std::memcpy(shifted, src.data(), bytes);
  fmtest::HostImage aligned = src;
  Buffer alignedBuf = aligned.buffer();
  const Buffer misaligned{shifted, W, H, P, false};
  fm::ThreadParallel par(2);
  CpuBackend be(&par, nullptr, nullptr);
  for (int kernel : {FM_K_CLEAR, FM_K_COPY, FM_K_BOX_COLS, FM_K_CONV_COLS, FM_K_LENS_PREP}) {
    SCOPED_TRACE(kernel);
    // As destination, and as either source.
    Buffer dst = misaligned;
    FMParams p;
    fm::makeParams(p, &dst, &alignedBuf, nullptr);
    p.n = 1;
    p.segLen = H;
    EXPECT_FALSE(be.launch(kernel, &dst, &alignedBuf, nullptr, nullptr, &p, W, H, 1.0));
    EXPECT_EQ(std::memcmp(shifted, src.data(), bytes), 0);
    fm::makeParams(p, &alignedBuf, &misaligned, nullptr);
    EXPECT_FALSE(be.launch(kernel, &alignedBuf, &misaligned, nullptr, nullptr, &p, W, H, 1.0));
    fm::makeParams(p, &alignedBuf, &alignedBuf, &misaligned);
    EXPECT_FALSE(be.launch(kernel, &alignedBuf, &alignedBuf, &misaligned, nullptr, &p, W, H, 1.0));
    EXPECT_EQ(std::memcmp(aligned.data(), src.data(), bytes), 0);
  }
  FMParams p;
  fm::makeParams(p, &alignedBuf, nullptr, nullptr);
  EXPECT_TRUE(be.launch(FM_K_CLEAR, &alignedBuf, nullptr, nullptr, nullptr, &p, W, H, 1.0));
  EXPECT_EQ(aligned.at(W - 1, H - 1).a, 0.0f);
}

// A block whose rows overlap or run backwards (pitch below the width, or negative) would send
// the kernels outside the memory; the launch refuses it and writes nothing.
TEST(CpuMalformedRows, AreRefusedBeforeAnyWork) {
  fmtest::HostImage dst = fmtest::randomImage(8, 6, 5), src = fmtest::randomImage(8, 6, 6);
  const fmtest::HostImage before = dst;
  Buffer d = dst.buffer();
  const Buffer a = src.buffer();
  CpuBackend be(nullptr, nullptr, nullptr);
  for (int pitch : {7, 0, -8, -1000000}) {
    SCOPED_TRACE(pitch);
    for (int which = 0; which < 3; ++which) {
      FMParams p;
      fm::makeParams(p, &d, &a, &a);
      (which == 0 ? p.dP : which == 1 ? p.aP : p.bP) = pitch;
      EXPECT_FALSE(be.launch(FM_K_COPY, &d, &a, &a, nullptr, &p, 8, 6, 1.0)) << which;
    }
  }
  EXPECT_EQ(std::memcmp(dst.data(), before.data(), size_t(dst.pitch()) * 6 * 16), 0);
  // An image with no rows or no columns needs no pitch.
  FMParams p;
  fm::makeParams(p, &d, &a, nullptr);
  p.aW = 0;
  p.aP = -3;
  EXPECT_TRUE(be.launch(FM_K_COPY, &d, &a, nullptr, nullptr, &p, 8, 6, 1.0));
}

struct AbortProbe {
  std::atomic<int> calls{0};
  int fireAt = 1;  // the n-th query answers true
};

bool queryAbort(void* ctx) {
  auto* a = static_cast<AbortProbe*>(ctx);
  return ++a->calls >= a->fireAt;
}

TEST(CpuAbort, FirstChunkStopsTheLaunchAndTheStateLatches) {
  fmtest::RecordingParallel par(4);
  AbortProbe probe;
  CpuBackend be(&par, &queryAbort, &probe);
  Buffer img;
  ASSERT_TRUE(be.allocImage(img, 16, 64));
  std::memset(img.data, 0xFF, size_t(64) * 16 * 16);
  FMParams p;
  fm::makeParams(p, &img, nullptr, nullptr);
  EXPECT_FALSE(be.launch(FM_K_CLEAR, &img, nullptr, nullptr, nullptr, &p, 16, 64, 1.0));
  EXPECT_TRUE(be.wasAborted());
  // The first chunk raised the stop flag; no other chunk asked again or touched a pixel.
  EXPECT_EQ(probe.calls.load(), 1);
  const unsigned char* bytes = static_cast<const unsigned char*>(img.data);
  for (size_t i = 0; i < size_t(64) * 16 * 16; ++i) ASSERT_EQ(bytes[i], 0xFF) << i;
  // Later launches fail without reaching the parallel-for, even with an empty grid.
  const size_t runs = par.counts.size();
  EXPECT_FALSE(be.launch(FM_K_CLEAR, &img, nullptr, nullptr, nullptr, &p, 16, 64, 1.0));
  EXPECT_FALSE(be.launch(FM_K_CLEAR, &img, nullptr, nullptr, nullptr, &p, 0, 0, 1.0));
  EXPECT_EQ(par.counts.size(), runs);
  be.freeImage(img);
}

TEST(CpuAbort, ChunksAlreadyStartedFinish) {
  fmtest::RecordingParallel par(2);  // 8 chunks of 8 rows
  AbortProbe probe;
  probe.fireAt = 3;
  CpuBackend be(&par, &queryAbort, &probe);
  Buffer img;
  ASSERT_TRUE(be.allocImage(img, 4, 64));
  std::memset(img.data, 0xFF, size_t(64) * 4 * 16);
  FMParams p;
  fm::makeParams(p, &img, nullptr, nullptr);
  EXPECT_FALSE(be.launch(FM_K_CLEAR, &img, nullptr, nullptr, nullptr, &p, 4, 64, 1.0));
  EXPECT_TRUE(be.wasAborted());
  const float* px = static_cast<const float*>(img.data);
  // Two chunks (16 rows) ran before the query fired; the rest is untouched.
  EXPECT_EQ(px[(15 * 4 + 3) * 4 + 3], 0.0f);
  const unsigned char* rest = reinterpret_cast<const unsigned char*>(px + 16 * 4 * 4);
  for (size_t i = 0; i < size_t(48) * 4 * 16; ++i) ASSERT_EQ(rest[i], 0xFF);
  be.freeImage(img);
}

// Many threads, one abort: every launch either completes or fails and latches; never both.
TEST(CpuAbort, ConcurrentChunksSeeOneStop) {
  fm::ThreadParallel par(8);
  AbortProbe probe;
  probe.fireAt = 40;
  CpuBackend be(&par, &queryAbort, &probe);
  Buffer img;
  ASSERT_TRUE(be.allocImage(img, 8, 4096));
  FMParams p;
  bool failed = false;
  for (int i = 0; i < 20 && !failed; ++i) {
    fm::makeParams(p, &img, nullptr, nullptr);
    failed = !be.launch(FM_K_CLEAR, &img, nullptr, nullptr, nullptr, &p, 8, 4096, 1.0);
  }
  EXPECT_TRUE(failed);
  EXPECT_TRUE(be.wasAborted());
  be.freeImage(img);
}

}  // namespace
