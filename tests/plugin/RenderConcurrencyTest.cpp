// Frames rendered at once on the host's threads: each owns its record, backend and images, so
// the pixels are those of the frames rendered one at a time.
#include <gtest/gtest.h>

#include "tests/plugin/RenderTestSupport.h"

namespace fm::test {
namespace {

TEST(RenderConcurrency, FourFramesAtOnceEqualOneAtATime) {
  constexpr int32_t kWidth = 48, kHeight = 36;
  std::map<int32_t, host::Image> frames;
  for (int32_t t = -1; t <= 4; ++t) frames[t] = movingSquareFrame(kWidth, kHeight, 16, t, 2, 1);
  host::HostProfile profile;
  profile.iterateThreads = 3;
  auto host = hostWithLayer(host::Layer::sequence(std::move(frames)), profile);
  ASSERT_TRUE(host);
  const ParamTexts kinds[] = {
      {{"Blur Type", "Motion Blur"}, {"Motion Blur Type", "Tracked Motion Blur"},
       {"Motion Sensitivity", "100"}, {"Output", "Motion Blur"}},
      {{"Blur Type", "Camera Lens Blur"}, {"Blur Radius", "3"}},
  };
  for (const ParamTexts& kind : kinds) {
    SCOPED_TRACE(kind[0].second);
    setParams(*host, kind);
    std::vector<host::FrameRequest> requests(4);
    for (int32_t t = 0; t < 4; ++t) {
      requests[t].time = t;
      requests[t].depth = 16;
    }
    std::vector<host::Image> together;
    const std::vector<host::FrameReport> reports = host->renderFrames(requests, &together, 4);
    for (int32_t t = 0; t < 4; ++t) {
      ASSERT_TRUE(reports[t].ok()) << reports[t].message;
      const Rendered alone = renderThroughModule(*host, requests[t]);
      ASSERT_TRUE(alone.report.ok()) << alone.report.message;
      EXPECT_EQ(difference(together[t], alone.image), "") << "frame " << t;
    }
    EXPECT_TRUE(host->stats().faults.empty());
  }
}

}  // namespace
}  // namespace fm::test
