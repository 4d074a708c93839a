// The embedded kernel texts: the OpenCL text builds, and the PTX declares every kernel that
// the CPU backend has, with the argument layout the CUDA backend will pass.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "engine/Backend.h"
#include "engine/cpu/CpuKernelTable.h"
#include "gpu/KernelTexts.h"
#include "tests/support/KernelRun.h"

namespace {

std::string ptx() { return std::string(fm::ptxKernelText(), fm::ptxKernelTextSize()); }

std::set<std::string> writtenKernels() {
  std::set<std::string> names;
  for (int k = 0; k < FM_KERNEL_COUNT; ++k)
    if (fm::cpuBandRunner(k)) names.insert(fm::kernelName(k));
  return names;
}

TEST(OpenclText, IsOneSelfContainedText) {
  const std::string text(fm::openclKernelText(), fm::openclKernelTextSize());
  EXPECT_EQ(text.rfind("#define FM_TARGET_OPENCL 1\n", 0), 0u);
  EXPECT_EQ(text.find("#include"), std::string::npos);
  EXPECT_NE(text.find("typedef struct FMParams"), std::string::npos);
  for (const std::string& name : writtenKernels())
    EXPECT_NE(text.find("FM_KERNEL(" + name + ")"), std::string::npos) << name;
}

// The product's own build of the text on the device, one kernel object per identifier.
TEST(OpenclText, BuildsOnTheRuntimePresent) {
  FM_REQUIRE_OPENCL();
  const fmtest::OpenCLDevice* cl = fmtest::OpenCLDevice::get();
  ASSERT_NE(cl->program, nullptr) << cl->buildError;
  for (int k = 0; k < FM_KERNEL_COUNT; ++k) EXPECT_NE(cl->program->kernels[k], nullptr) << fm::kernelName(k);
}

TEST(PtxText, DeclaresVersionTargetAndAddressSize) {
  const std::string text = ptx();
  EXPECT_NE(text.find("\n.version 4.2\n"), std::string::npos);
  EXPECT_NE(text.find("\n.target sm_50\n"), std::string::npos);
  EXPECT_NE(text.find("\n.address_size 64\n"), std::string::npos);
}

// Entry name -> its parameter list with white space removed.
std::map<std::string, std::string> ptxEntries(const std::string& text) {
  std::map<std::string, std::string> entries;
  const std::string tag = ".visible .entry ";
  for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1)) {
    const size_t open = text.find('(', at);
    const size_t close = text.find(')', open);
    const std::string name = text.substr(at + tag.size(), open - at - tag.size());
    std::string params;
    for (size_t i = open + 1; i < close; ++i)
      if (text[i] != '\n' && text[i] != '\t') params += text[i];
    EXPECT_TRUE(entries.emplace(name, params).second) << "duplicate entry " << name;
  }
  return entries;
}

// Whether some `ld.param.f32` reads byte `offset` of a parameter.
bool loadsParamFloatAt(const std::string& text, int offset) {
  const std::string want = "+" + std::to_string(offset) + "]";
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.find("ld.param.f32") != std::string::npos && line.find(want) != std::string::npos) return true;
  return false;
}

TEST(PtxText, OneEntryPerKernelWithTheLaunchArguments) {
  const std::map<std::string, std::string> entries = ptxEntries(ptx());
  std::set<std::string> found;
  for (const auto& [name, params] : entries) {
    found.insert(name);
    std::string want;
    for (int i = 0; i < 4; ++i) want += ".param .u64 " + name + "_param_" + std::to_string(i) + ",";
    want += ".param .align 4 .b8 " + name + "_param_4[552]";
    EXPECT_EQ(params, want) << name;
  }
  EXPECT_EQ(found, writtenKernels());
}

#ifdef FM_PTXAS
// The CUDA toolkit's assembler, where installed, is the authority on the PTX syntax.
TEST(PtxText, AssemblesWithPtxas) {
  const std::string cmd = std::string(FM_PTXAS) + " -arch=sm_75 " FM_PTX_FILE " -o /dev/null 2>&1";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
}
#endif

#ifdef FM_CLANGXX
// The CUDA build of the block: a probe kernel that reads t[0] and g0 must load them from
// byte 168 and byte 128 of its parameter.
TEST(PtxText, CudaBlockLayoutMatchesTheHost) {
  const std::string dir = ::testing::TempDir();
  const std::string src = dir + "/fm_layout_probe.cu";
  const std::string out = dir + "/fm_layout_probe.ptx";
  {
    std::ofstream f(src);
    f << "#include \"kernels/FMKernelTypes.h\"\n#include \"kernels/FMKernels.h\"\n"
         "FM_KERNEL(fm_probe) { dst[0] = make_f4(p.t[0], p.g0, p.frac, (float)sizeof(FMParams)); }\n";
  }
  const std::string cmd = std::string(FM_CLANGXX) +
      " -x cuda --cuda-device-only -nocudainc -nocudalib --cuda-gpu-arch=sm_50 --cuda-path=/nonexistent"
      " -O3 -Xclang -target-feature -Xclang +ptx42 -DFM_TARGET_CUDA=1 -I" FM_SOURCE_DIR " -S " + src +
      " -o " + out + " 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  std::ifstream f(out);
  std::stringstream ss;
  ss << f.rdbuf();
  const std::string text = ss.str();
  EXPECT_NE(text.find(".param .align 4 .b8 fm_probe_param_4[552]"), std::string::npos);
  EXPECT_TRUE(loadsParamFloatAt(text, 168)) << text;
  EXPECT_TRUE(loadsParamFloatAt(text, 128)) << text;
  EXPECT_TRUE(loadsParamFloatAt(text, 104)) << text;
  // sizeof(FMParams) folds to the constant 552.0f.
  EXPECT_NE(text.find("0f440A0000"), std::string::npos) << text;
}
#endif

}  // namespace
