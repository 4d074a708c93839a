// Transfer curves and map channels.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "engine/cpu/CpuKernels.h"

namespace {

TEST(Curves, TablesFollowTheExactCurves) {
  // Near black the curves bend hardest; the root-spaced tables must still hold there.
  for (int srgb : {0, 1}) {
    double worstDecode = 0, worstEncode = 0;
    for (int i = 0; i <= 200000; ++i) {
      const float c = float(i) / 200000.0f;
      worstDecode = std::max(worstDecode, double(std::fabs(fm::fm_to_linear(c, srgb) - fm::fm_to_linear_exact(c, srgb))));
      worstEncode = std::max(worstEncode, double(std::fabs(fm::fm_from_linear(c, srgb) - fm::fm_from_linear_exact(c, srgb))));
    }
    EXPECT_LT(worstDecode, 1e-6) << srgb;
    EXPECT_LT(worstEncode, 1e-6) << srgb;
    for (float c : {1e-6f, 1e-4f, 0.003f}) {
      EXPECT_NEAR(fm::fm_to_linear(c, srgb), fm::fm_to_linear_exact(c, srgb), 1e-7f) << c;
      EXPECT_NEAR(fm::fm_from_linear(c, srgb), fm::fm_from_linear_exact(c, srgb), 2e-6f) << c;
    }
  }
}

TEST(Curves, ExactFormulas) {
  EXPECT_NEAR(fm::fm_srgb_decode(0.04045f), 0.04045f / 12.92f, 1e-9f);
  EXPECT_NEAR(fm::fm_srgb_decode(0.5f), std::pow((0.5 + 0.055) / 1.055, 2.4), 1e-6);
  EXPECT_NEAR(fm::fm_srgb_encode(0.0031308f), 12.92f * 0.0031308f, 1e-7f);
  EXPECT_NEAR(fm::fm_srgb_encode(0.5f), 1.055 * std::pow(0.5, 1 / 2.4) - 0.055, 1e-6);
  EXPECT_NEAR(fm::fm_to_linear_exact(0.5f, 0), std::pow(0.5, 2.2), 1e-6);
  EXPECT_NEAR(fm::fm_from_linear_exact(0.5f, 0), std::pow(0.5, 1 / 2.2), 1e-6);
}

TEST(Curves, OddSymmetricAndContinuedPastOne) {
  for (int srgb : {0, 1})
    for (float c : {0.01f, 0.3f, 1.0f, 1.7f, 40.0f}) {
      // Negative values take the exact curve (only [0, 1] is tabled).
      EXPECT_EQ(fm::fm_to_linear(-c, srgb), -fm::fm_to_linear_exact(c, srgb));
      EXPECT_EQ(fm::fm_from_linear(-c, srgb), -fm::fm_from_linear_exact(c, srgb));
      EXPECT_NEAR(fm::fm_from_linear(fm::fm_to_linear(c, srgb), srgb), c, 2e-5f * c) << c;
    }
  EXPECT_GT(fm::fm_to_linear(1.5f, 0), 1.5f);
  EXPECT_TRUE(std::isnan(fm::fm_to_linear(std::nanf(""), 1)));
  EXPECT_EQ(fm::fm_to_linear(0.0f, 0), 0.0f);
  EXPECT_NEAR(fm::fm_to_linear(1.0f, 1), 1.0f, 1e-6f);
}

TEST(Curves, TablesAreBuiltOnceUnderConcurrentFirstUse) {
  std::vector<const float*> seen(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&seen, i] { seen[size_t(i)] = fm::fm_curve_table(i % 4); });
  for (auto& t : threads) t.join();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(seen[size_t(i)], fm::fm_curve_table(i % 4));
  EXPECT_EQ(fm::fm_curve_table(FM_CURVE_GAMMA_DECODE)[FM_CURVE_N], 1.0f);
}

float channel(float r, float g, float b, float a, int ch) { return fm::fm_map_channel(fm::make_f4(r, g, b, a), ch); }

TEST(MapChannel, AllChannels) {
  EXPECT_FLOAT_EQ(channel(0.1f, 0.2f, 0.3f, 0.4f, FM_CH_RED), 0.1f);
  EXPECT_FLOAT_EQ(channel(0.1f, 0.2f, 0.3f, 0.4f, FM_CH_ALPHA), 0.4f);
  EXPECT_FLOAT_EQ(channel(1, 1, 1, 1, FM_CH_LUMINANCE), 1.0f);
  EXPECT_FLOAT_EQ(channel(0.2f, 0.6f, 0.4f, 1, FM_CH_LIGHTNESS), 0.4f);
  // Hue on straight colour: premultiplied red at half alpha is still hue 0.
  EXPECT_FLOAT_EQ(channel(0.5f, 0, 0, 0.5f, FM_CH_HUE), 0.0f);
  EXPECT_FLOAT_EQ(channel(0, 0.5f, 0, 0.5f, FM_CH_HUE), 1.0f / 3.0f);
  EXPECT_FLOAT_EQ(channel(0, 0, 1, 1, FM_CH_HUE), 2.0f / 3.0f);
  EXPECT_FLOAT_EQ(channel(1, 0, 1, 1, FM_CH_HUE), 5.0f / 6.0f);  // g < b wraps
  EXPECT_FLOAT_EQ(channel(1, 0, 0, 1, FM_CH_SATURATION), 1.0f);
  EXPECT_FLOAT_EQ(channel(0.75f, 0.25f, 0.25f, 1, FM_CH_SATURATION), 0.5f);
  EXPECT_FLOAT_EQ(channel(0.9f, 0.7f, 0.7f, 1, FM_CH_SATURATION), 0.2f / 0.4f);
  // Grey and transparent pixels have neither hue nor saturation.
  for (int ch : {FM_CH_HUE, FM_CH_SATURATION}) {
    EXPECT_EQ(channel(0.4f, 0.4f, 0.4f, 1, ch), 0.0f);
    EXPECT_EQ(channel(0.4f, 0.1f, 0.2f, 0, ch), 0.0f);
    EXPECT_EQ(channel(0.4f, 0.1f, 0.2f, 1e-7f, ch), 0.0f);
  }
}

}  // namespace
