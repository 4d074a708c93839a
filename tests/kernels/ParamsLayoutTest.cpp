// The block is a host-to-device format: its layout must be identical on every target.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "engine/Backend.h"
#include "tests/support/KernelRun.h"

namespace {

TEST(ParamsLayout, CpuOffsetsMatchTheContract) {
  EXPECT_EQ(sizeof(FMParams), 552u);
  EXPECT_EQ(alignof(FMParams), 4u);
  EXPECT_EQ(offsetof(FMParams, dW), 0u);
  EXPECT_EQ(offsetof(FMParams, bP), 32u);
  EXPECT_EQ(offsetof(FMParams, y0), 36u);
  EXPECT_EQ(offsetof(FMParams, y1), 40u);
  EXPECT_EQ(offsetof(FMParams, segLen), 52u);
  EXPECT_EQ(offsetof(FMParams, hi2), 68u);
  EXPECT_EQ(offsetof(FMParams, by), 84u);
  EXPECT_EQ(offsetof(FMParams, flags), 88u);
  EXPECT_EQ(offsetof(FMParams, channel), 96u);
  EXPECT_EQ(offsetof(FMParams, pad0), 100u);
  EXPECT_EQ(offsetof(FMParams, frac), 104u);
  EXPECT_EQ(offsetof(FMParams, norm), 108u);
  EXPECT_EQ(offsetof(FMParams, cx), 112u);
  EXPECT_EQ(offsetof(FMParams, ky), 124u);
  EXPECT_EQ(offsetof(FMParams, g0), 128u);
  EXPECT_EQ(offsetof(FMParams, g9), 164u);
  EXPECT_EQ(offsetof(FMParams, t), 168u);
  EXPECT_EQ(sizeof(FMParams::t), FM_T_FLOATS * sizeof(float));
  EXPECT_EQ(FM_T_FLOATS, 3 * FM_MAX_TAPS);
}

TEST(ParamsLayout, MakeParamsZeroesAndCopiesSizes) {
  FMParams p;
  std::memset(&p, 0xA5, sizeof p);
  fm::Buffer d{nullptr, 7, 5, 8, true}, a{nullptr, 3, 2, 4, false}, b{nullptr, 9, 1, 12, true};
  fm::makeParams(p, &d, &a, &b);
  EXPECT_EQ(p.dW, 7); EXPECT_EQ(p.dH, 5); EXPECT_EQ(p.dP, 8);
  EXPECT_EQ(p.aW, 3); EXPECT_EQ(p.aH, 2); EXPECT_EQ(p.aP, 4);
  EXPECT_EQ(p.bW, 9); EXPECT_EQ(p.bH, 1); EXPECT_EQ(p.bP, 12);
  EXPECT_EQ(p.y0, 0);
  EXPECT_EQ(p.y1, 5);
  EXPECT_EQ(p.g0, 1.0f);
  // Every field a kernel does not read must be zero.
  FMParams q = p;
  q.dW = q.dH = q.dP = q.aW = q.aH = q.aP = q.bW = q.bH = q.bP = q.y1 = 0;
  q.g0 = 0.0f;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&q);
  for (size_t i = 0; i < sizeof q; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;

  fm::makeParams(p, nullptr, nullptr, nullptr);
  EXPECT_EQ(p.y1, 0);
  EXPECT_EQ(p.dW, 0);
}

TEST(ParamsLayout, KernelNamesFollowIdentifiers) {
  EXPECT_STREQ(fm::kernelName(0), "fm_clear");
  EXPECT_STREQ(fm::kernelName(3), "fm_export");
  EXPECT_STREQ(fm::kernelName(10), "fm_lens_gather");
  EXPECT_STREQ(fm::kernelName(33), "fm_flow_edges");
  EXPECT_EQ(fm::kernelName(34), nullptr);
  EXPECT_EQ(fm::kernelName(-1), nullptr);
}

// An OpenCL kernel reads the block back field by field: the device must see the bytes the host
// sent, at the offsets the host uses.
TEST(ParamsLayout, OpenclKernelSeesTheHostBlock) {
  FM_REQUIRE_OPENCL();
  fmtest::OpenCLDevice* cl = fmtest::OpenCLDevice::get();
  const char* probe = R"CL(
__kernel void fm_probe_layout(__global int* out, FMParams p) {
  out[0] = (int)sizeof(FMParams);
  out[1] = (int)((__private char*)&p.t[0] - (__private char*)&p);
  out[2] = (int)((__private char*)&p.g0 - (__private char*)&p);
  out[3] = (int)((__private char*)&p.frac - (__private char*)&p);
  __private const int* q = (__private const int*)&p;
  for (int i = 0; i < 138; ++i) out[4 + i] = q[i];
}
)CL";
  FMParams p;
  unsigned char* bytes = reinterpret_cast<unsigned char*>(&p);
  for (size_t i = 0; i < sizeof p; ++i) bytes[i] = (unsigned char)(i * 7 + 3);
  std::vector<int> out;
  std::string err;
  ASSERT_TRUE(cl->runProbe(probe, "fm_probe_layout", p, out, 4 + 138, &err)) << err;
  EXPECT_EQ(out[0], 552);
  EXPECT_EQ(out[1], 168);
  EXPECT_EQ(out[2], 128);
  EXPECT_EQ(out[3], 104);
  EXPECT_EQ(std::memcmp(out.data() + 4, &p, sizeof p), 0);
}

}  // namespace
