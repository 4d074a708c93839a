// Several frames rendered at once on their own threads, each with its own backend, as a host
// does: every result must equal the same frame rendered alone. Shared state between renders
// (a table built on first use, a cached plan) would show up here as a difference or a crash.
#include <thread>
#include <vector>

#include "tests/blurs/BlurTestSupport.h"

namespace {

using fm::Rect;
using fmtest::HostImage;

std::vector<RenderSettings> frames() {
  std::vector<RenderSettings> all;
  all.push_back(blurtest::gaussianSettings(8, true, 1, true));  // linear light: the curve tables
  all.push_back(blurtest::boxSettings(5, 3, 1, true));
  RenderSettings s;
  s.blurType = fm::kCameraLensBlur;
  s.blurRadius = 6;
  s.highlightGain = 2;
  all.push_back(s);
  s = RenderSettings();
  s.blurType = fm::kRadialBlur;
  s.radialAmount = 12;
  s.centerX = 30;
  s.centerY = 20;
  all.push_back(s);
  s = RenderSettings();
  s.blurType = fm::kVectorBlur;
  s.vectorAmount = 5;
  all.push_back(s);
  s = RenderSettings();
  s.blurType = fm::kMotionBlur;
  s.blurLength = 9;
  s.direction = 60;
  all.push_back(s);
  return all;
}

HostImage renderAlone(const RenderSettings& s, const HostImage& image, int threads) {
  fm::ThreadParallel par(threads);
  fm::CpuBackend be(&par, nullptr, nullptr);
  const Rect rect{0, 0, image.width(), image.height()};
  const fm::Buffer in = image.buffer();
  const fm::PlacedImage placed{&in, rect};
  const double scale[3] = {s.downsampleX, s.downsampleY, s.pixelAspect};
  fm::Buffer out;
  HostImage result(image.width(), image.height());
  if (!fm::render(be, s, scale, placed, rect, rect, nullptr, rect, out, nullptr)) return HostImage();
  for (int y = 0; y < result.height(); ++y)
    for (int x = 0; x < result.width(); ++x)
      result.at(x, y) = static_cast<const fmtest::Px*>(out.data)[size_t(y) * out.pitch + x];
  be.freeImage(out);
  return result;
}

TEST(ConcurrentRenders, EqualTheSameFramesRenderedAlone) {
  const HostImage image = blurtest::premultipliedImage(64, 48, 31);
  const std::vector<RenderSettings> all = frames();
  std::vector<HostImage> alone;
  for (const RenderSettings& s : all) alone.push_back(renderAlone(s, image, 1));

  for (int round = 0; round < 3; ++round) {
    std::vector<HostImage> together(all.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < all.size(); ++i)
      threads.emplace_back([&, i] { together[i] = renderAlone(all[i], image, 2); });
    for (std::thread& t : threads) t.join();
    for (size_t i = 0; i < all.size(); ++i) {
      ASSERT_GT(together[i].width(), 0) << "frame " << i << " failed";
      EXPECT_EQ(fmtest::firstDifference(alone[i], together[i]), "") << "frame " << i << ", round " << round;
    }
  }
}

}  // namespace
