// fogmill params and about say what the module declares; the demo writes its contact sheet
// and a frame for every kind; the program itself holds none of the engine.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>

#include "tests/cli/CliTestSupport.h"

namespace fm::test {
namespace {

std::string commandOutput(const std::string& command) {
  std::string text;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof(buffer), p)) > 0;) text.append(buffer, n);
    pclose(p);
  }
  return text;
}

TEST(Listing, ParamsShowsWhatTheModuleShowsForEachKind) {
  std::string error;
  auto host = host::HeadlessHost::open(FM_MODULE_PATH, {}, &error);
  ASSERT_TRUE(host) << error;
  const int32_t kind = host->findParam("Blur Type", &error);
  const std::vector<std::string> kinds = host->params().entry(kind).choices;
  for (const std::string& label : kinds) {
    SCOPED_TRACE(label);
    const Ran run = fogmill({"params", label});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output.rfind(label + "  (--blur ", 0), 0u) << run.output;
    // Every parameter the panel shows under any sub-kind and output, named as it shows them.
    ASSERT_TRUE(host->setParam(kind, label, &error)) << error;
    std::set<std::string> shown;
    for (const char* sub : {"Directional Blur", "Tracked Motion Blur"}) {
      for (const char* output : {"Motion Blur", "Motion Vectors"}) {
        ASSERT_TRUE(host->setParam("Motion Blur Type", sub, &error) && host->setParam("Output", output, &error)) << error;
        for (int32_t i = 2; i < host->params().count(); ++i) {
          if (!host->hidden(i) && host->params().entry(i).def.type != PF_Param_GroupEnd) {
            shown.insert(host->params().panelName(i));
          }
        }
      }
    }
    std::set<std::string> listed;
    for (size_t start = 0, end; (end = run.output.find('\n', start)) != std::string::npos; start = end + 1) {
      const std::string line = run.output.substr(start, end - start);
      const size_t first = line.find_first_not_of(' ');
      if (first != std::string::npos) listed.insert(line.substr(first, line.find("  ", first) - first));
    }
    for (const std::string& name : shown) EXPECT_TRUE(listed.count(name) || listed.count(name + ":")) << name;
  }
  const Ran motion = fogmill({"params", "motion"});
  for (const char* line : {"Max Displacement      number   1 to 4096 (slider 1 to 256), default 32\n"
                           "                        only when Motion Blur Type is \"Tracked Motion Blur\" and "
                           "Output is \"Motion Vectors\"",
                           "Direction             angle    in degrees, default 0\n"
                           "                        only when Motion Blur Type is \"Directional Blur\"",
                           "Output                choice   \"Motion Blur\" (default) | \"Motion Vectors\"; no keyframes"}) {
    EXPECT_NE(motion.output.find(line), std::string::npos) << motion.output;
  }
  const Ran lens = fogmill({"params", "lens"});
  EXPECT_NE(lens.output.find("  Iris Properties:\n    Shape "), std::string::npos) << lens.output;

  std::string about = host->aboutText();
  std::replace(about.begin(), about.end(), '\r', '\n');
  const Ran aboutRun = fogmill({"about"});
  EXPECT_EQ(aboutRun.status, 0);
  EXPECT_EQ(aboutRun.output.rfind(about, 0), 0u) << aboutRun.output;
}

TEST(Listing, DemoRendersEveryKindIntoAContactSheet) {
  Scratch dir;
  const Ran run = fogmill({"demo", dir / "demo"});
  ASSERT_EQ(run.status, 0) << run.output;
  const std::string sheet = dir / "demo/contact-sheet.png";
  EXPECT_EQ(run.output, std::filesystem::canonical(sheet).string() + "\n");
  const FilePixels contact = readPixels(sheet);
  EXPECT_GT(contact.spec.width, 4 * 384);
  // Each kind changed the picture it started from.
  const FilePixels card = readPixels(dir / "demo/frames/test-card.png");
  const FilePixels shot = readPixels(dir / "demo/frames/moving-objects.png");
  for (const char* still : {"vector-blur", "gaussian-blur", "box-blur", "camera-lens-blur", "camera-lens-blur-depth",
                            "radial-blur-spin", "radial-blur-zoom", "directional-motion-blur"}) {
    EXPECT_NE(compareValues(readPixels(dir / ("demo/frames/" + std::string(still) + ".png")), card.values, 1000), "")
        << still;
  }
  for (const char* moving : {"tracked-motion-blur", "motion-vectors"}) {
    EXPECT_NE(compareValues(readPixels(dir / ("demo/frames/" + std::string(moving) + ".png")), shot.values, 1000), "")
        << moving;
  }
}

TEST(Listing, TheProgramHoldsNoEngineCode) {
  const std::string symbols = commandOutput(std::string(FM_NM) + " -C --defined-only " + FM_FOGMILL_PATH);
  ASSERT_NE(symbols.find("fm::host::HeadlessHost"), std::string::npos) << "no symbols to look at";
  for (const char* engine : {"fm::CpuBackend", "fm::render(", "fm::ThreadParallel", "renderTrackedMotion"}) {
    EXPECT_EQ(symbols.find(engine), std::string::npos) << engine;
  }
}

}  // namespace
}  // namespace fm::test
