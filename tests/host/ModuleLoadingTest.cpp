// Loading a module: what the built module exposes, and what the headless host makes of files
// that are no module or carry a damaged property list.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <set>

#include "host/ModuleFile.h"
#include "host/PropertyList.h"
#include "tests/host/HostTestSupport.h"

namespace fm::test {
namespace {

std::string commandOutput(const std::string& command) {
  std::string out;
  if (std::FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) out.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0) << command;
  }
  return out;
}

std::vector<unsigned char> modulePropertyList() {
  std::vector<unsigned char> bytes;
  std::string error;
  EXPECT_TRUE(host::readPropertyListBytes(FM_MODULE_PATH, &bytes, &error)) << error;
  return bytes;
}

// A copy of the module whose property list has `from` replaced by `to`, starting `skip`
// bytes after `from`.
std::string patchedModule(const ScratchTempDir& temp, const std::string& from,
                          const std::string& to, size_t skip = 0) {
  const std::vector<unsigned char> list = modulePropertyList();
  std::string file = readFile(FM_MODULE_PATH);
  const size_t at = file.find(std::string(list.begin(), list.end()));
  EXPECT_NE(at, std::string::npos);
  const size_t field = file.find(from, at);
  EXPECT_LT(field, at + list.size()) << from;
  file.replace(field + skip, to.size(), to);
  const std::string path = temp.path() + "/Patched.so";
  writeFile(path, file);
  return path;
}

std::string loadError(const std::string& path) {
  std::string error;
  auto host = host::HeadlessHost::load(path, {}, &error);
  EXPECT_FALSE(host) << path;
  return error;
}

TEST(ModuleLoading, ExportsTheEntryPointAndNothingElse) {
  std::set<std::string> exported;
  for (const std::string& line :
       splitLines(commandOutput(std::string(FM_NM) + " -D --defined-only " + FM_MODULE_PATH))) {
    exported.insert(line.substr(line.rfind(' ') + 1));
  }
  EXPECT_EQ(exported, std::set<std::string>{"EffectMain"});
  // The C++ runtime is inside the module, so a host's own runtime cannot clash with it.
  const std::string dynamic = commandOutput(std::string(FM_READELF) + " -d " + FM_MODULE_PATH);
  EXPECT_EQ(dynamic.find("libstdc++"), std::string::npos) << dynamic;
  EXPECT_EQ(dynamic.find("libgcc_s"), std::string::npos) << dynamic;
}

// Windows builds embed the writer's file as a resource; ELF builds carry the same bytes.
TEST(ModuleLoading, WindowsResourceHoldsTheSameBytes) {
  ScratchTempDir temp;
  const std::string path = temp.path() + "/Fogmill.pipl";
  commandOutput(std::string(FM_PROPERTY_LIST_WRITER) + " " + path);
  const std::string written = readFile(path);
  const std::vector<unsigned char> embedded = modulePropertyList();
  EXPECT_EQ(written, std::string(embedded.begin(), embedded.end()));
}

TEST(ModuleLoading, FilesThatAreNoModuleGiveAClearError) {
  ScratchTempDir temp;
  EXPECT_NE(loadError(temp.path() + "/absent.so").find("does not exist"), std::string::npos);
  EXPECT_NE(loadError(temp.path()).find("is not a module"), std::string::npos);
  writeFile(temp.path() + "/empty.so", "");
  writeFile(temp.path() + "/text.so", "#!/bin/sh\necho hello\n");
  for (const char* name : {"/empty.so", "/text.so"}) {
    EXPECT_NE(loadError(temp.path() + name).find("is not a module"), std::string::npos) << name;
  }
  EXPECT_NE(loadError(FM_NOT_AN_EFFECT_PATH).find("carries no property list"), std::string::npos);

  // Cut short anywhere: refused before any of its code runs.
  const std::string module = readFile(FM_MODULE_PATH);
  for (size_t size : {size_t(4), size_t(64), size_t(4096), module.size() / 2, module.size() - 1}) {
    writeFile(temp.path() + "/cut.so", module.substr(0, size));
    EXPECT_FALSE(loadError(temp.path() + "/cut.so").empty()) << size;
  }
}

TEST(ModuleLoading, PropertyListIsChecked) {
  ScratchTempDir temp;
  EXPECT_NE(loadError(patchedModule(temp, "eFKT", "eFKX")).find("not an effect"),
            std::string::npos);
  EXPECT_NE(loadError(patchedModule(temp, "EffectMain", "EffectMaiX")).find("no entry point"),
            std::string::npos);
  EXPECT_NE(loadError(patchedModule(temp, "8BIMname", "ADBEname")).find("vendor"),
            std::string::npos);

  // Flags that global setup does not confirm: the host refuses to start the module.
  // (key, id, length, then the word's lowest byte: 0x02 becomes 0x03)
  std::string error;
  auto host = host::HeadlessHost::load(patchedModule(temp, "eGLO", "\x03", 12), {}, &error);
  ASSERT_TRUE(host) << error;
  EXPECT_FALSE(host->start(&error));
  EXPECT_NE(error.find("global setup reports"), std::string::npos) << error;
}

TEST(ModuleLoading, DamagedPropertyListsNeverCrashTheParser) {
  const std::vector<unsigned char> good = modulePropertyList();
  host::PropertyList list;
  std::string error;
  ASSERT_TRUE(host::parsePropertyList(good.data(), good.size(), &list, &error)) << error;
  for (size_t size = 0; size < good.size(); ++size) {
    std::vector<unsigned char> cut(good.begin(), good.begin() + size);  // exact size for ASan
    EXPECT_FALSE(host::parsePropertyList(cut.data(), cut.size(), &list, &error)) << size;
  }
  std::mt19937 random(15);
  for (int trial = 0; trial < 3000; ++trial) {
    std::vector<unsigned char> damaged = good;
    for (int k = 0; k < 1 + trial % 4; ++k) {
      damaged[random() % damaged.size()] = static_cast<unsigned char>(random());
    }
    if (host::parsePropertyList(damaged.data(), damaged.size(), &list, &error)) {
      EXPECT_EQ(list.kind, "eFKT");
      EXPECT_FALSE(list.entryPoint.empty());
    }
  }
}

// Each host loads its own copy of the module: a latch set in one does not show in another.
TEST(ModuleLoading, EveryHostStartsFromAFreshModule) {
  ScratchTempDir temp;
  host::HostProfile latching;
  latching.reportsHiddenFlag = false;
  auto first = openModule(latching);
  auto second = openModule();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(splitLines(readFile(temp.logPath())).size(), 1u);
  const int32_t reads = second->stats().flagReads;
  ASSERT_EQ(second->updateParamsUi(), PF_Err_None);
  EXPECT_GT(second->stats().flagReads, reads) << "the second module is not latched";
  EXPECT_EQ(second->stats().registrations, 1);
}

}  // namespace
}  // namespace fm::test
