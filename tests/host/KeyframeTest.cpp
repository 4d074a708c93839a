// Keyframed parameter values in the headless host: linear between keys for numbers, angles and
// points, held for choices and check boxes; read at the time of the checkout, in frames of the
// profile's frame duration; refused for parameters that cannot vary.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/host/HostTestSupport.h"

namespace fm::test {
namespace {

TEST(Keyframes, ValuesInterpolateBetweenKeysAndHoldBeyondThem) {
  auto host = openModule();
  ASSERT_TRUE(host);
  std::string error;
  const auto keyed = [&](const std::string& name, const std::string& text) {
    EXPECT_TRUE(host->setParam(name, text, &error)) << name << "=" << text << ": " << error;
    return host->findParam(name, nullptr);
  };
  ASSERT_TRUE(host->setParam("Blur Type", "Box Blur", &error)) << error;
  const int32_t radius = keyed("Blur Radius", "10@5, 2@1 ,4@3");  // in any order
  const int32_t iterations = keyed("Iterations", "1@0,4@3");
  const host::ParamStore& p = host->params();
  EXPECT_EQ(p.valueAt(radius, -7).floatSlider.value, 2);
  EXPECT_EQ(p.valueAt(radius, 2).floatSlider.value, 3);
  EXPECT_EQ(p.valueAt(radius, 4.5).floatSlider.value, 8.5);
  EXPECT_EQ(p.valueAt(radius, 99).floatSlider.value, 10);
  EXPECT_EQ(p.valueAt(iterations, 1).intSlider.value, 2);
  EXPECT_EQ(p.valueAt(iterations, 2.4).intSlider.value, 3);
  EXPECT_EQ(p.definition(radius, 4).u.floatSlider.value, 7);

  ASSERT_TRUE(host->setParam("Blur Type", "Radial Blur", &error)) << error;
  const int32_t center = keyed("Center", "0,0@0,100,-50@10");
  EXPECT_EQ(p.valueAt(center, 3).point.x, PF_Fixed(30 * 65536));
  EXPECT_EQ(p.valueAt(center, 3).point.y, PF_Fixed(-15 * 65536));
  const int32_t type = keyed("Type", "Spin@0,Zoom@10");
  EXPECT_EQ(p.valueAt(type, 9.9).popup.value, 1);
  EXPECT_EQ(p.valueAt(type, 10).popup.value, 2);
  ASSERT_TRUE(host->setParam("Blur Type", "Camera Lens Blur", &error)) << error;
  const int32_t rotation = keyed("Rotation", "-90@0,90@2");
  EXPECT_EQ(p.valueAt(rotation, 1.5).angle.value, PF_Fixed(45 * 65536));
  // A constant value replaces the keys.
  keyed("Rotation", "12");
  EXPECT_EQ(p.valueAt(rotation, 1.5).angle.value, PF_Fixed(12 * 65536));
}

TEST(Keyframes, BadKeysAreRefusedAndChangeNothing) {
  auto host = openModule();
  ASSERT_TRUE(host);
  ASSERT_TRUE(host->setParam("Blur Type", "Gaussian Blur", nullptr));
  const struct {
    const char* name;
    const char* text;
    const char* says;
  } cases[] = {
      {"Blur Type", "Box Blur@1,Radial Blur@4", "cannot vary over time"},
      {"Blurriness", "3@1,4@x", "\"x\" is not a frame number"},
      {"Blurriness", "3@1,5", "\"5\" has no frame"},
      {"Blurriness", "3@1,4@1", "two keys at frame 1"},
      {"Blurriness", "3@1,-4@2", "-4 is outside 0 to 30000"},
  };
  const int32_t blurriness = host->findParam("Blurriness", nullptr);
  for (const auto& c : cases) {
    const PF_ParamValue before = host->params().entry(blurriness).def.u;
    std::string error;
    EXPECT_FALSE(host->setParam(c.name, c.text, &error)) << c.text;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    EXPECT_TRUE(host->params().entry(blurriness).keys.empty());
    EXPECT_EQ(std::memcmp(&before, &host->params().entry(blurriness).def.u, sizeof(before)), 0);
  }
}

TEST(Keyframes, RendersReadTheValueAtTheirTime) {
  // NTSC timing: frame f is at time f * 1001 in a scale of 24000.
  host::HostProfile profile;
  profile.frameDuration = PF_Ratio{1001, 24000};
  host::Image frame(24, 16, 8);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 24; ++x) {
      const float px[4] = {float((x * 5 + y * 3) % 7) / 7, float(x) / 24, float(y) / 16, 1};
      frame.set(x, y, px);
    }
  }
  const auto render = [&](const std::string& blurriness, int32_t frameNumber) {
    auto host = openModule(profile);
    std::string error;
    EXPECT_TRUE(host->attachLayer(0, host::Layer::still(frame), &error) &&
                host->setParam("Blur Type", "Gaussian Blur", &error) &&
                host->setParam("Blurriness", blurriness, &error))
        << error;
    host::FrameRequest request;
    request.time = frameNumber * 1001;
    request.timeStep = request.localTimeStep = 1001;
    request.timeScale = 24000;
    request.depth = 8;
    host::Image out;
    EXPECT_TRUE(host->renderFrame(request, &out).ok());
    return std::vector<unsigned char>(out.row(0), out.row(0) + out.rowBytes() * out.height());
  };
  EXPECT_EQ(render("1@1,7@4", 3), render("5", 3));
  EXPECT_NE(render("1@1,7@4", 3), render("7", 3));
}

}  // namespace
}  // namespace fm::test
