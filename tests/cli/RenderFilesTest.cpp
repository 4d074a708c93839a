// fogmill render on single files: every kind equals the headless host's own render of the
// same frame in 8, 16 and 32 bits; keyframes interpolate; alpha survives; metadata and pixel
// aspect carry over; the whole result, the data window and proxies land where they belong.
#include <gtest/gtest.h>

#include "tests/cli/CliTestSupport.h"

namespace fm::test {
namespace {

using Params = std::vector<std::pair<std::string, std::string>>;

constexpr int kWidth = 37, kHeight = 26;

struct KindCase {
  const char* blur;   // as --blur takes it
  const char* label;  // the "Blur Type" it names
  Params params;
  bool map;  // "Vector Map" from a file
};

const KindCase kKinds[] = {
    {"vector", "Vector Blur", {{"Type", "Constant Length"}, {"Amount", "6"}, {"Map Softness", "2"}}, true},
    {"gaussian", "Gaussian Blur", {{"Blurriness", "5"}, {"Repeat Edge Pixels", "off"}}, false},
    {"lens", "Camera Lens Blur", {{"Blur Radius", "4"}, {"Shape", "Pentagon"}, {"Gain", "20"}}, false},
    {"box", "Box Blur", {{"Blur Radius", "3"}, {"Iterations", "2"}}, false},
    {"radial", "Radial Blur", {{"Amount", "15"}, {"Type", "Zoom"}, {"Center", "12,9"}}, false},
    {"Motion Blur", "Motion Blur", {{"Direction", "30"}, {"Blur Length", "7"}}, false},
};

struct FormatCase {
  const char* extension;
  OIIO::TypeDesc type;
  int depth;
  bool premultiplied;
};

const FormatCase kFormats[] = {
    {"png", OIIO::TypeDesc::UINT8, 8, false},
    {"tif", OIIO::TypeDesc::UINT16, 16, false},
    {"exr", OIIO::TypeDesc::FLOAT, 32, true},
};

std::vector<std::string> renderArgs(const std::string& in, const std::string& out, const std::string& blur,
                                    const Params& params) {
  std::vector<std::string> args{"render", in, out, "--blur", blur, "-q"};
  for (const auto& [name, value] : params) args.insert(args.end(), {"--set", name + "=" + value});
  return args;
}

TEST(RenderFiles, EveryKindEqualsTheHostsRenderInEachDepth) {
  Scratch dir;
  for (const FormatCase& f : kFormats) {
    const std::string in = dir / (std::string("in.") + f.extension);
    const std::string map = dir / (std::string("map.") + f.extension);
    writeWorld(in, testWorld(kWidth, kHeight, f.depth, 1), f.type, 4, f.premultiplied);
    writeWorld(map, testWorld(kWidth + 6, kHeight - 4, f.depth, 2, true), f.type, 3, f.premultiplied);
    const host::Image world = worldOf(readPixels(in), f.depth);
    for (const KindCase& k : kKinds) {
      SCOPED_TRACE(std::string(k.blur) + " on " + f.extension);
      const std::string out = dir / (std::string("out-") + k.blur + "." + f.extension);
      std::vector<std::string> args = renderArgs(in, out, k.blur, k.params);
      if (k.map) args.insert(args.end(), {"--layer", "Vector Map=" + map});
      const Ran run = fogmill(args);
      ASSERT_EQ(run.status, 0) << run.output;

      Params params{{"Blur Type", k.label}};
      params.insert(params.end(), k.params.begin(), k.params.end());
      auto host = moduleWith(host::Layer::still(world), params);
      ASSERT_TRUE(host);
      if (k.map) {
        std::string error;
        ASSERT_TRUE(host->attachLayer("Vector Map", host::Layer::still(worldOf(readPixels(map), f.depth)), &error)) << error;
      }
      const host::Image expected = renderLikeTheTool(*host, kWidth, kHeight, f.depth);
      const FilePixels written = readPixels(out);
      EXPECT_EQ(written.spec.format, f.type);
      EXPECT_EQ(compareValues(written, fileValuesOf(expected, f.type, 4, f.premultiplied), 0), "");
    }
  }
}

TEST(RenderFiles, KeyframesInterpolateLinearlyBetweenFrames) {
  Scratch dir;
  const std::string in = dir / "in.png";
  writeWorld(in, testWorld(kWidth, kHeight, 8, 3), OIIO::TypeDesc::UINT8, 4, false);
  // A still renders at every frame asked for: Blurriness from 2 at frame 1 to 8 at frame 4, and
  // a point from (0, 0) at frame 1 to (10, 20) at frame 5.
  struct Keyed {
    const char* blur;
    const char* keys;
    std::vector<std::pair<int, std::string>> constants;  // frame, the value it must have
  } keyed[] = {
      {"gaussian", "Blurriness=2@1,8@4", {{1, "Blurriness=2"}, {3, "Blurriness=6"}, {5, "Blurriness=8"}}},
      {"radial", "Center=0,0@1,10,20@5", {{2, "Center=2.5,5"}, {5, "Center=10,20"}}},
  };
  for (const Keyed& k : keyed) {
    Ran run = fogmill({"render", in, dir / (std::string(k.blur) + ".#.png"), "--frames", "1-5", "--blur",
                       k.blur, "--set", k.keys, "-q"});
    ASSERT_EQ(run.status, 0) << run.output;
    for (const auto& [frame, value] : k.constants) {
      SCOPED_TRACE(value);
      const std::string constant = dir / "constant.png";
      run = fogmill({"render", in, constant, "--blur", k.blur, "--set", value, "-q"});
      ASSERT_EQ(run.status, 0) << run.output;
      char name[32];
      std::snprintf(name, sizeof(name), ".%04d.png", frame);
      EXPECT_EQ(compareValues(readPixels(dir / (k.blur + std::string(name))), readPixels(constant).values, 0), "");
    }
  }
  // Choices hold, and a parameter that cannot vary refuses keys.
  const Ran refused = fogmill({"render", in, dir / "x.png", "--set", "Blur Type=Gaussian Blur@1,Box Blur@3"});
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.output.find("\"Blur Type\" cannot vary over time"), std::string::npos) << refused.output;
}

TEST(RenderFiles, AlphaRoundTripsLeaveAnUnblurredFrameWithinOneCode) {
  Scratch dir;
  struct Case {
    const char* name;
    OIIO::TypeDesc type;
    int depth, channels;
    bool premultiplied;
    double tolerance;  // in the file's units
  } cases[] = {
      {"straight.png", OIIO::TypeDesc::UINT8, 8, 4, false, 0},
      {"straight16.png", OIIO::TypeDesc::UINT16, 16, 4, false, 1},
      {"straight16.tif", OIIO::TypeDesc::UINT16, 16, 4, false, 1},
      {"opaque.png", OIIO::TypeDesc::UINT8, 8, 3, false, 0},
      // One step of a half float holding at most 1 is at most 2^-10.
      {"premultiplied.exr", OIIO::TypeDesc::HALF, 32, 4, true, 1.0 / 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string in = dir / c.name, out = dir / (std::string("out-") + c.name);
    writeWorld(in, testWorld(kWidth, kHeight, c.depth, 4), c.type, c.channels, c.premultiplied);
    const Ran run = fogmill({"render", in, out, "--blur", "gaussian", "-q"});
    ASSERT_EQ(run.status, 0) << run.output;
    const FilePixels before = readPixels(in), after = readPixels(out);
    EXPECT_EQ(after.spec.nchannels, c.channels);
    EXPECT_EQ(after.spec.format, c.type);
    EXPECT_EQ(compareValues(after, before.values, c.tolerance), "");
  }
  // A uniform grey that the 16-bit world holds comes back exactly through a wide blur.
  const float grey[4] = {16384 / 32768.0f, 9000 / 32768.0f, 32768 / 32768.0f, 1};
  host::Image flat(kWidth, kHeight, 16);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) flat.set(x, y, grey);
  writeWorld(dir / "grey.png", flat, OIIO::TypeDesc::UINT16, 3, false);
  const Ran run = fogmill({"render", dir / "grey.png", dir / "grey-out.png", "--blur", "gaussian",
                           "--set", "Blurriness=20", "-q"});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(compareValues(readPixels(dir / "grey-out.png"), readPixels(dir / "grey.png").values, 0), "");
}

TEST(RenderFiles, MetadataCarriesOverAndPixelAspectReachesTheEffect) {
  Scratch dir;
  OIIO::ImageSpec extra(kWidth, kHeight, 4, OIIO::TypeDesc::FLOAT);
  extra.attribute("PixelAspectRatio", 2.0f);
  const int fps[2] = {25, 1};
  extra.attribute("FramesPerSecond", OIIO::TypeRational, fps);
  const float chromaticities[8] = {0.713f, 0.293f, 0.165f, 0.830f, 0.128f, 0.044f, 0.32168f, 0.33767f};
  extra.attribute("chromaticities", OIIO::TypeDesc(OIIO::TypeDesc::FLOAT, 8), chromaticities);
  const unsigned timecode[2] = {0x01020304, 0};
  extra.attribute("smpte:TimeCode", OIIO::TypeTimeCode, timecode);
  extra.attribute("Copyright", "Kettlebrook test plate");
  const host::Image world = testWorld(kWidth, kHeight, 32, 5);
  writeWorld(dir / "in.exr", world, OIIO::TypeDesc::FLOAT, 4, true, &extra);
  const Params params{{"Blur Type", "Gaussian Blur"}, {"Blurriness", "6"}, {"Blur Dimensions", "Horizontal"}};
  const Ran run = fogmill({"render", dir / "in.exr", dir / "out.exr", "--blur", "gaussian", "--set",
                           "Blurriness=6", "--set", "Blur Dimensions=Horizontal", "-q"});
  ASSERT_EQ(run.status, 0) << run.output;
  const FilePixels out = readPixels(dir / "out.exr");
  EXPECT_EQ(out.spec.get_float_attribute("PixelAspectRatio"), 2.0f);
  int written[2] = {0, 0};
  EXPECT_TRUE(out.spec.getattribute("FramesPerSecond", OIIO::TypeRational, written));
  EXPECT_EQ(written[0], 25);
  float written8[8] = {};
  EXPECT_TRUE(out.spec.getattribute("chromaticities", OIIO::TypeDesc(OIIO::TypeDesc::FLOAT, 8), written8));
  EXPECT_EQ(written8[6], chromaticities[6]);
  EXPECT_EQ(out.spec.get_string_attribute("Copyright"), "Kettlebrook test plate");
  unsigned tc[2] = {0, 0};
  EXPECT_TRUE(out.spec.getattribute("smpte:TimeCode", OIIO::TypeTimeCode, tc));
  EXPECT_EQ(tc[0], timecode[0]);

  // Pixels twice as wide as high: the horizontal blur reaches half as many of them.
  const host::Image input = worldOf(readPixels(dir / "in.exr"), 32);
  host::LayerInfo wide;
  wide.pixelAspect = PF_Ratio{2, 1};
  auto host = moduleWith(host::Layer::still(input, wide), params);
  ASSERT_TRUE(host);
  EXPECT_EQ(compareValues(out, fileValuesOf(renderLikeTheTool(*host, kWidth, kHeight, 32), OIIO::TypeDesc::FLOAT, 4, true), 0), "");
  auto square = moduleWith(host::Layer::still(input), params);
  ASSERT_TRUE(square);
  EXPECT_NE(compareValues(out, fileValuesOf(renderLikeTheTool(*square, kWidth, kHeight, 32), OIIO::TypeDesc::FLOAT, 4, true), 1e-3), "");
}

TEST(RenderFiles, ExpandDataWindowsAndProxiesPlaceTheResult) {
  Scratch dir;
  const Params params{{"Blur Type", "Gaussian Blur"}, {"Blurriness", "4"}, {"Repeat Edge Pixels", "off"}};
  const std::vector<std::string> sets{"--blur", "gaussian", "--set", "Blurriness=4", "--set", "Repeat Edge Pixels=off", "-q"};
  const auto withSets = [&](std::vector<std::string> args) {
    args.insert(args.end(), sets.begin(), sets.end());
    return fogmill(args);
  };

  // An EXR with overscan: the data window from (-3, -2) beyond a 30 x 20 display window.
  OIIO::ImageSpec overscan(kWidth, kHeight, 4, OIIO::TypeDesc::FLOAT);
  overscan.x = -3;
  overscan.y = -2;
  overscan.full_width = 30;
  overscan.full_height = 20;
  writeWorld(dir / "in.exr", testWorld(kWidth, kHeight, 32, 6), OIIO::TypeDesc::FLOAT, 4, true, &overscan);
  const host::Image world = worldOf(readPixels(dir / "in.exr"), 32);
  auto host = moduleWith(host::Layer::still(world), params);
  ASSERT_TRUE(host);

  Ran run = withSets({"render", dir / "in.exr", dir / "same.exr"});
  ASSERT_EQ(run.status, 0) << run.output;
  FilePixels out = readPixels(dir / "same.exr");
  EXPECT_EQ(std::vector<int>({out.spec.x, out.spec.y, out.spec.width, out.spec.height}),
            std::vector<int>({-3, -2, kWidth, kHeight}));
  EXPECT_EQ(std::vector<int>({out.spec.full_x, out.spec.full_y, out.spec.full_width, out.spec.full_height}),
            std::vector<int>({0, 0, 30, 20}));
  EXPECT_EQ(compareValues(out, fileValuesOf(renderLikeTheTool(*host, kWidth, kHeight, 32), OIIO::TypeDesc::FLOAT, 4, true), 0), "");

  PF_Rect result{};
  const host::Image whole = renderLikeTheTool(*host, kWidth, kHeight, 32, 1, 1, true, &result);
  ASSERT_LT(result.left, 0);
  run = withSets({"render", dir / "in.exr", dir / "expanded.exr", "--expand"});
  ASSERT_EQ(run.status, 0) << run.output;
  out = readPixels(dir / "expanded.exr");
  EXPECT_EQ(std::vector<int>({out.spec.x, out.spec.y, out.spec.width, out.spec.height}),
            std::vector<int>({-3 + result.left, -2 + result.top, result.right - result.left, result.bottom - result.top}));
  EXPECT_EQ(std::vector<int>({out.spec.full_width, out.spec.full_height}), std::vector<int>({30, 20}));
  EXPECT_EQ(compareValues(out, fileValuesOf(whole, OIIO::TypeDesc::FLOAT, 4, true), 0), "");

  // Without a display window: a larger picture, and where it lies is said.
  run = withSets({"render", dir / "in.exr", dir / "expanded.tif", "--expand"});
  ASSERT_EQ(run.status, 0) << run.output;
  out = readPixels(dir / "expanded.tif");
  EXPECT_EQ(std::vector<int>({out.spec.width, out.spec.height}),
            std::vector<int>({result.right - result.left, result.bottom - result.top}));
  run = fogmill({"render", dir / "in.exr", dir / "expanded2.tif", "--expand", "--blur", "gaussian", "--set",
                 "Blurriness=4", "--set", "Repeat Edge Pixels=off"});
  EXPECT_NE(run.output.find("top-left at (" + std::to_string(result.left) + ", " + std::to_string(result.top) + ")"),
            std::string::npos) << run.output;

  // Half resolution: the host's downsampling, and a layer of half the size.
  run = withSets({"render", dir / "in.exr", dir / "half.exr", "--proxy", "1/2"});
  ASSERT_EQ(run.status, 0) << run.output;
  out = readPixels(dir / "half.exr");
  EXPECT_EQ(std::vector<int>({out.spec.width, out.spec.height}), std::vector<int>({(kWidth + 1) / 2, kHeight / 2}));
  EXPECT_EQ(compareValues(out, fileValuesOf(renderLikeTheTool(*host, kWidth, kHeight, 32, 1, 2), OIIO::TypeDesc::FLOAT, 4, true), 0), "");
}

}  // namespace
}  // namespace fm::test
