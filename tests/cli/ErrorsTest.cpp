// What goes wrong says what to do, ends with a non-zero status and leaves nothing under the
// output's name, nor any temporary file; Ctrl-C stops a render the same way.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/cli/CliTestSupport.h"

namespace fm::test {
namespace {

bool hasTemporaryFiles(const Scratch& dir) {
  for (const std::string& name : dir.files()) {
    if (name.find(".fogmill-") != std::string::npos) return true;
  }
  return false;
}

TEST(Errors, EachSaysWhatToDoAndWritesNothing) {
  Scratch dir;
  const std::string in = dir / "in.png";
  writeWorld(in, testWorld(16, 12, 8, 1), OIIO::TypeDesc::UINT8, 4, false);
  for (int f : {1, 3}) {
    writeWorld(dir / ("seq.000" + std::to_string(f) + ".png"), testWorld(16, 12, 8, f), OIIO::TypeDesc::UINT8, 4, false);
  }
  std::ofstream(dir / "broken.0001.png") << "no picture at all";
  writeWorld(dir / "bad.0001.png", testWorld(16, 12, 8, 1), OIIO::TypeDesc::UINT8, 4, false);
  std::ofstream(dir / "bad.0002.png") << "\x89PNG but nothing after";
  std::ofstream(dir / "kept.png") << "an older file";
  std::filesystem::create_directory(dir / "locked");
  std::filesystem::permissions(dir / "locked", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  // Permission bits do not stop root; a folder of the kernel's does.
  const std::string locked = geteuid() == 0 ? "/sys" : dir / "locked";

  struct Case {
    std::vector<std::string> args;
    std::string output;
    std::vector<std::string> says;
  } cases[] = {
      {{"render", in, dir / "o1.png", "--blur", "gaussian", "--set", "Blurines=4"}, dir / "o1.png",
       {"Gaussian Blur has no parameter \"Blurines\"", "closest is \"Blurriness\"", "\"Repeat Edge Pixels\""}},
      {{"render", in, dir / "o14.png", "--set", "Blurriness=4"}, dir / "o14.png",
       {"Vector Blur has no parameter \"Blurriness\"; choose --blur gaussian for it"}},
      {{"render", in, dir / "o2.png", "--blur", "box", "--set", "Blur Radius=-2"}, dir / "o2.png",
       {"\"Blur Radius\": -2 is outside 0 to 30000"}},
      {{"render", in, dir / "o3.png", "--blur", "lens", "--set", "Shape=Circle"}, dir / "o3.png",
       {"no choice \"Circle\"", "\"Hexagon\", \"Heptagon\""}},
      {{"render", in, dir / "o4.png", "--blur", "fog"}, dir / "o4.png", {"no blur kind \"fog\"", "lens"}},
      {{"render", dir / "seq.####.png", dir / "o5.####.png", "--frames", "1-3"}, dir / "o5.0001.png",
       {"input frame 2 is missing", "seq.0002.png does not exist", "has frames 1,3"}},
      {{"render", dir / "broken.####.png", dir / "o6.####.png"}, dir / "o6.0001.png", {"broken.0001.png"}},
      {{"render", dir / "bad.####.png", dir / "o13.####.png"}, dir / "o13.0002.png", {"bad.0002.png"}},
      {{"render", in, dir / "o7.png", "--blur", "vector", "--layer", "Vector Map=" + dir / "nowhere.png"},
       dir / "o7.png", {"nowhere.png: no such file"}},
      {{"render", in, dir / "kept.png", "--no-clobber"}, "", {"kept.png exists, and --no-clobber keeps it"}},
      {{"render", in, locked + "/o9.png"}, locked + "/o9.png", {"is not writable"}},
      {{"render", in, dir / "o10.png", "--gpu", "metal"}, dir / "o10.png", {"--gpu: metal not in {auto,opencl,cuda,off}"}},
      {{"render", dir / "seq.####.png", dir / "o11.png"}, dir / "o11.png", {"names one file for 2 frames"}},
      {{"render", in, dir / "o12.mov"}, dir / "o12.mov", {"no image format writes .mov files"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[2]);
    const Ran run = fogmill(c.args);
    EXPECT_NE(run.status, 0);
    for (const std::string& text : c.says) EXPECT_NE(run.output.find(text), std::string::npos) << run.output;
    if (!c.output.empty()) {
      EXPECT_FALSE(std::filesystem::exists(c.output));
    }
    EXPECT_FALSE(hasTemporaryFiles(dir));
  }
  EXPECT_EQ(readFile(dir / "kept.png"), "an older file");
}

TEST(Errors, InterruptStopsCleanlyWithOnlyWholeFiles) {
  Scratch dir;
  writeWorld(dir / "in.exr", testWorld(320, 240, 32, 2), OIIO::TypeDesc::HALF, 4, true);
  Background render({"render", dir / "in.exr", dir / "out.####.exr", "--frames", "1-400", "--blur", "lens",
                     "--set", "Blur Radius=40", "--progress", "-q"});
  std::string line;
  while (render.readLine(&line) && line.rfind("frame=", 0) != 0) {
  }
  ASSERT_EQ(line.rfind("frame=", 0), 0u) << "no progress before the end: " << line;
  render.signal(SIGINT);
  EXPECT_EQ(render.wait(), 128 + SIGINT);
  EXPECT_FALSE(hasTemporaryFiles(dir));
  const std::vector<std::string> files = dir.files();
  EXPECT_LT(files.size(), 400u);
  for (const std::string& name : files) {
    if (name != "in.exr") {
      EXPECT_EQ(readPixels(dir / name).spec.width, 320) << name;
    }
  }
}

}  // namespace
}  // namespace fm::test
