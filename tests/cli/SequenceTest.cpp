// Sequences and movies: every spelling of a frame number and of a frame range renders the
// right frames into the right files; Tracked Motion Blur reads each frame's neighbours from
// the sequence, blurring what moves and leaving the still background alone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "tests/cli/CliTestSupport.h"

namespace fm::test {
namespace {

// Frame f is a flat grey of f * 20 in 8 bits, so every file says which frame it holds.
host::Image frameWorld(int f) {
  host::Image world(9, 7, 8);
  const float grey[4] = {f * 20 / 255.0f, f * 20 / 255.0f, f * 20 / 255.0f, 1};
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 9; ++x) world.set(x, y, grey);
  return world;
}

int frameIn(const std::string& path) { return int(readPixels(path).values.front()) / 20; }

std::string padded(int f) {
  char text[16];
  std::snprintf(text, sizeof(text), "%04d", f);
  return text;
}

TEST(Sequences, EverySpellingAndRangeRendersItsFrames) {
  Scratch dir;
  for (int f = 1; f <= 10; ++f) {
    writeWorld(dir / ("in." + padded(f) + ".png"), frameWorld(f), OIIO::TypeDesc::UINT8, 3, false);
    writeWorld(dir / ("short." + std::to_string(f) + ".png"), frameWorld(f), OIIO::TypeDesc::UINT8, 3, false);
  }
  struct Case {
    const char* input;
    const char* frames;  // "" for every frame on disk
    const char* output;
    std::vector<int> rendered;
    bool paddedOutput;
  } cases[] = {
      {"in.####.png", "2-8x3", "a.####.png", {2, 5, 8}, true},
      {"in.%04d.png", "1,5,7-9", "b.%04d.png", {1, 5, 7, 8, 9}, true},
      {"in.@@@@.png", "10-8", "c.@@@@.png", {10, 9, 8}, true},
      {"in.#.png", "4", "d.#.png", {4}, true},
      {"short.@.png", "", "e.@.png", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, false},
      {"short.%d.png", "3-4", "f.%d.png", {3, 4}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    std::vector<std::string> args{"render", dir / c.input, dir / c.output, "-q"};
    if (*c.frames) args.insert(args.end(), {"--frames", c.frames});
    const Ran run = fogmill(args);
    ASSERT_EQ(run.status, 0) << run.output;
    const std::string prefix = std::string(c.output).substr(0, 2);
    int files = 0;
    for (const std::string& name : dir.files()) files += name.rfind(prefix, 0) == 0;
    EXPECT_EQ(files, int(c.rendered.size()));
    for (int f : c.rendered) {
      const std::string name = prefix + (c.paddedOutput ? padded(f) : std::to_string(f)) + ".png";
      EXPECT_EQ(frameIn(dir / name), f) << name;
    }
  }
}

TEST(Sequences, MoviesRenderFrameByFrameLikeTheirSequence) {
  Scratch dir;
  for (int f = 1; f <= 6; ++f) {
    writeWorld(dir / ("in." + padded(f) + ".png"), frameWorld(f), OIIO::TypeDesc::UINT8, 3, false);
  }
  // Lossless, so that the movie holds the very pixels of the files.
  const std::string encode = "ffmpeg -loglevel error -y -framerate 24 -i '" + dir / "in.%04d.png" +
                             "' -c:v png '" + dir / "in.mov" + "'";
  ASSERT_EQ(std::system(encode.c_str()), 0) << "ffmpeg (installed by scripts/bootstrap) made no movie";
  const Ran run = fogmill({"render", dir / "in.mov", dir / "out.####.png", "--frames", "2-4", "-q"});
  ASSERT_EQ(run.status, 0) << run.output;
  for (int f = 2; f <= 4; ++f) EXPECT_EQ(frameIn(dir / ("out." + padded(f) + ".png")), f);
  EXPECT_FALSE(std::filesystem::exists(dir / "out.0005.png"));
}

// A bright square moving 3 pixels a frame to the right over a still background of smooth
// blotches, which nothing can mistake for a repeating pattern.
host::Image shotFrame(int t) {
  host::Image blotches = testWorld(9, 6, 32, 11, true);
  host::Image world(64, 40, 8);
  for (int y = 0; y < 40; ++y) {
    for (int x = 0; x < 64; ++x) {
      const float u = x / 8.0f, w = y / 8.0f;
      const int i = int(u), j = int(w);
      float a[4], b[4], c[4], d[4];
      blotches.get(i, j, a);
      blotches.get(i + 1, j, b);
      blotches.get(i, j + 1, c);
      blotches.get(i + 1, j + 1, d);
      const float fx = u - i, fy = w - j;
      const float v = 0.2f + 0.5f * ((a[0] * (1 - fx) + b[0] * fx) * (1 - fy) + (c[0] * (1 - fx) + d[0] * fx) * fy);
      const bool square = x >= 14 + 3 * t && x < 26 + 3 * t && y >= 14 && y < 26;
      const float px[4] = {square ? 1.0f : v, square ? 0.9f : v, square ? 0.2f : v, 1};
      world.set(x, y, px);
    }
  }
  return world;
}

TEST(Sequences, TrackedBlurMovesWithTheObjectAndLeavesTheBackground) {
  Scratch dir;
  std::map<int32_t, host::Image> shot;
  for (int f = 1; f <= 5; ++f) {
    writeWorld(dir / ("shot." + std::to_string(f) + ".png"), shotFrame(f), OIIO::TypeDesc::UINT8, 3, false);
    shot[f] = worldOf(readPixels(dir / ("shot." + std::to_string(f) + ".png")), 8);
  }
  const Ran run = fogmill({"render", dir / "shot.@.png", dir / "out.@.png", "--frames", "3", "--blur", "motion",
                           "--set", "Motion Blur Type=Tracked Motion Blur", "--set", "Blur Amount=1", "-q"});
  ASSERT_EQ(run.status, 0) << run.output;
  const FilePixels in = readPixels(dir / "shot.3.png"), out = readPixels(dir / "out.3.png");

  auto host = moduleWith(host::Layer::sequence(shot), {{"Blur Type", "Motion Blur"},
                                                       {"Motion Blur Type", "Tracked Motion Blur"},
                                                       {"Blur Amount", "1"}});
  ASSERT_TRUE(host);
  EXPECT_EQ(compareValues(out, fileValuesOf(renderLikeTheTool(*host, 64, 40, 8, 3), OIIO::TypeDesc::UINT8, 3, false), 0), "");

  // The square spans x 23..34 in frame 3: its left and right edges smear along x, rows well
  // above and below it stay as they were.
  double edges = 0, background = 0;
  for (int y = 0; y < 40; ++y) {
    for (int x = 0; x < 64; ++x) {
      const double d = std::fabs(out.at(x, y, 0) - in.at(x, y, 0));
      if (y >= 16 && y < 24 && ((x >= 20 && x < 26) || (x >= 32 && x < 38))) edges = std::max(edges, d);
      if (y < 8 || y >= 32) background = std::max(background, d);
    }
  }
  EXPECT_GT(edges, 40) << "the moving square is not blurred";
  EXPECT_LE(background, 2) << "the still background changed";
}

}  // namespace
}  // namespace fm::test
