// fogmill on a GPU, end to end: --gpu opencl writes the files --gpu off writes, within the GPU's
// tolerance; a frame the device fails on is rendered on the CPU and -v shows the module's log
// line; a GPU asked for by name must exist; fogmill devices lists what the runtimes report.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "tests/cli/CliTestSupport.h"

namespace fm::test {
namespace {

using Params = std::vector<std::pair<std::string, std::string>>;

constexpr int kWidth = 37, kHeight = 26;

struct KindCase {
  const char* blur;
  Params params;
  bool map;  // "Vector Map" from a file
};

const KindCase kKinds[] = {
    {"vector", {{"Amount", "6"}, {"Map Softness", "2"}}, true},
    {"gaussian", {{"Blurriness", "5"}}, false},
    {"lens", {{"Blur Radius", "4"}, {"Shape", "Pentagon"}, {"Gain", "20"}}, false},
    {"box", {{"Blur Radius", "3"}, {"Iterations", "2"}}, false},
    {"radial", {{"Amount", "15"}, {"Type", "Zoom"}}, false},
    {"motion", {{"Direction", "30"}, {"Blur Length", "7"}}, false},
};

struct FormatCase {
  const char* extension;
  OIIO::TypeDesc type;
  int depth;
  double tolerance;  // in file values: a code of the GPU's float difference, rounded up
  std::vector<int> kinds;  // of kKinds: every kind once at least, clamped and not
};

// The GPU may differ from the CPU by 2e-4 in floats: one 8-bit code, 14 codes of a 16-bit file.
const FormatCase kFormats[] = {
    {"png", OIIO::TypeDesc::UINT8, 8, 1, {0, 1, 2, 3, 4, 5}},
    {"tif", OIIO::TypeDesc::UINT16, 16, 14, {0, 2}},
    {"exr", OIIO::TypeDesc::FLOAT, 32, 2e-4, {1, 4}},
};

std::vector<std::string> renderArgs(const std::string& in, const std::string& out, const KindCase& k,
                                    const std::string& map, const std::string& gpu) {
  std::vector<std::string> args{"render", in, out, "--blur", k.blur, "--gpu", gpu, "-q"};
  for (const auto& [name, value] : k.params) args.insert(args.end(), {"--set", name + "=" + value});
  if (k.map) args.insert(args.end(), {"--layer", "Vector Map=" + map});
  return args;
}

bool hasOpenclDevice() { return fogmill({"devices"}).output.find("OpenCL ") != std::string::npos; }

// Environment variables for the programs this test starts, restored afterwards.
class Environment {
 public:
  ~Environment() {
    for (const auto& [name, old] : saved_) {
      if (old.first) {
        setenv(name.c_str(), old.second.c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }
  void set(const std::string& name, const std::string& value) {
    const char* old = std::getenv(name.c_str());
    saved_.push_back({name, {old != nullptr, old ? old : ""}});
    setenv(name.c_str(), value.c_str(), 1);
  }

 private:
  std::vector<std::pair<std::string, std::pair<bool, std::string>>> saved_;
};

TEST(GpuCli, OpenclWritesTheFilesOffWrites) {
  if (!hasOpenclDevice()) {
    if (std::getenv("CI")) FAIL() << "no OpenCL device: fogmill devices lists none";  // CI has PoCL
    GTEST_SKIP() << "no OpenCL device";
  }
  Scratch dir;
  Environment env;
  env.set("TMPDIR", dir / "");
  for (const FormatCase& f : kFormats) {
    const std::string in = dir / (std::string("in.") + f.extension);
    const std::string map = dir / (std::string("map.") + f.extension);
    writeWorld(in, testWorld(kWidth, kHeight, f.depth, 1), f.type, 4, f.depth == 32);
    writeWorld(map, testWorld(kWidth + 6, kHeight - 4, f.depth, 2, true), f.type, 3, f.depth == 32);
    for (int kind : f.kinds) {
      const KindCase& k = kKinds[kind];
      SCOPED_TRACE(std::string(k.blur) + " on " + f.extension);
      const std::string cpu = dir / (std::string("cpu.") + f.extension);
      const std::string gpu = dir / (std::string("gpu.") + f.extension);
      const Ran a = fogmill(renderArgs(in, cpu, k, map, "off"));
      const Ran b = fogmill(renderArgs(in, gpu, k, map, "opencl"));
      ASSERT_EQ(a.status, 0) << a.output;
      ASSERT_EQ(b.status, 0) << b.output;
      const FilePixels expected = readPixels(cpu);
      EXPECT_EQ(compareValues(readPixels(gpu), expected.values, f.tolerance), "");
    }
  }
  // Tracked motion blur over a sequence, its neighbours on the device too.
  for (int frame = 1; frame <= 3; ++frame) {
    host::Image w(kWidth, kHeight, 32);
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) {
        const bool square = x >= 8 + 3 * frame && x < 20 + 3 * frame && y >= 7 && y < 19;
        const float px[4] = {square ? 0.9f : 0.2f + 0.01f * (x % 7), square ? 0.3f + 0.05f * (y % 5) : 0.4f,
                             square ? 0.1f : 0.3f + 0.02f * ((x + y) % 5), 1.0f};
        w.set(x, y, px);
      }
    writeWorld(dir / ("seq." + std::to_string(1000 + frame) + ".exr"), w, OIIO::TypeDesc::FLOAT, 4, true);
  }
  const std::vector<std::string> tracked{"--blur", "motion", "--set", "Motion Blur Type=Tracked Motion Blur",
                                         "--set", "Blur Amount=1", "--set", "Max Displacement=8", "--frames", "1002"};
  std::vector<std::string> off{"render", dir / "seq.####.exr", dir / "cpu.####.exr", "--gpu", "off", "-q"};
  std::vector<std::string> on{"render", dir / "seq.####.exr", dir / "gpu.####.exr", "--gpu", "opencl", "-v"};
  off.insert(off.end(), tracked.begin(), tracked.end());
  on.insert(on.end(), tracked.begin(), tracked.end());
  const Ran a = fogmill(off), b = fogmill(on);
  ASSERT_EQ(a.status, 0) << a.output;
  ASSERT_EQ(b.status, 0) << b.output;
  EXPECT_NE(b.output.find("rendering on "), std::string::npos) << b.output;
  EXPECT_EQ(b.output.find("module log"), std::string::npos) << b.output;
  EXPECT_EQ(compareValues(readPixels(dir / "gpu.1002.exr"), readPixels(dir / "cpu.1002.exr").values, 2e-3), "");
}

TEST(GpuCli, ADeviceFailureRendersOnTheCpuAndVerboseShowsTheLogLine) {
  Scratch dir;
  Environment env;
  env.set("TMPDIR", dir / "");
  env.set("LD_LIBRARY_PATH", FM_FAKE_CUDA_DRIVER_DIR);
  const std::string listing = fogmill({"devices"}).output;
  ASSERT_NE(listing.find("CUDA    GPU    stand-in"), std::string::npos) << listing;
  const std::string in = dir / "in.png";
  writeWorld(in, testWorld(kWidth, kHeight, 8, 4), OIIO::TypeDesc::UINT8, 4, false);
  const Ran cpu = fogmill(renderArgs(in, dir / "cpu.png", kKinds[2], "", "off"));
  ASSERT_EQ(cpu.status, 0) << cpu.output;

  std::vector<std::string> args = renderArgs(in, dir / "gpu.png", kKinds[2], "", "cuda");
  *std::find(args.begin(), args.end(), "-q") = "-v";
  const Ran fine = fogmill(args);
  ASSERT_EQ(fine.status, 0) << fine.output;
  EXPECT_NE(fine.output.find("rendering on stand-in CUDA driver"), std::string::npos) << fine.output;
  EXPECT_EQ(fine.output.find("module log"), std::string::npos) << fine.output;
  EXPECT_EQ(compareValues(readPixels(dir / "gpu.png"), readPixels(dir / "cpu.png").values, 0), "");

  env.set("FM_FAKE_CUDA_FAIL", "cuLaunchKernel:719:2");
  const Ran failed = fogmill(args);
  ASSERT_EQ(failed.status, 0) << failed.output;
  EXPECT_NE(failed.output.find("module log: "), std::string::npos) << failed.output;
  // The engine's message, then the device's.
  EXPECT_NE(failed.output.find("Fogmill 1.1.0: GPU render failed (render failed / cuLaunchKernel 719), rendered "
                               "on the CPU instead"),
            std::string::npos)
      << failed.output;
  EXPECT_EQ(compareValues(readPixels(dir / "gpu.png"), readPixels(dir / "cpu.png").values, 0), "");
}

TEST(GpuCli, AGpuAskedForByNameMustExist) {
  if (fogmill({"devices"}).output.find("CUDA    GPU") != std::string::npos) GTEST_SKIP() << "a CUDA device exists";
  Scratch dir;
  const std::string in = dir / "in.png";
  writeWorld(in, testWorld(kWidth, kHeight, 8, 4), OIIO::TypeDesc::UINT8, 4, false);
  const Ran cuda = fogmill({"render", in, dir / "out.png", "--blur", "box", "--gpu", "cuda"});
  EXPECT_EQ(cuda.status, 1) << cuda.output;
  EXPECT_NE(cuda.output.find("--gpu cuda: CUDA driver not found"), std::string::npos) << cuda.output;
  EXPECT_FALSE(std::ifstream(dir / "out.png").good());
  // auto settles for the CPU where there is no GPU at all.
  const Ran any = fogmill({"render", in, dir / "auto.png", "--blur", "box", "--gpu", "auto", "-q"});
  EXPECT_EQ(any.status, 0) << any.output;
}

}  // namespace
}  // namespace fm::test
