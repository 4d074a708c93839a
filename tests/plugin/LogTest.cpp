// The log file: its place, its line format, its size rule and its lock. The module writes its one
// line of this stage when a host never reports the HIDDEN flag; the lock is checked on the
// module's own log function.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <set>
#include <thread>

#include "plugin/Log.h"
#include "tests/host/HostTestSupport.h"

namespace fm::test {
namespace {

// The message of a line that starts "YYYY-MM-DD HH:MM:SS Fogmill 1.1.0: "; false for any other.
bool messageOf(const std::string& line, std::string* message) {
  const std::string pattern = "dddd-dd-dd dd:dd:dd Fogmill 1.1.0: ";
  if (line.size() < pattern.size()) return false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const bool ok = pattern[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                      : line[i] == pattern[i];
    if (!ok) return false;
  }
  *message = line.substr(pattern.size());
  return true;
}

// Opens a host that makes the module log one line.
void provokeLogLine() {
  host::HostProfile profile;
  profile.reportsHiddenFlag = false;
  auto host = openModule(profile);
  ASSERT_TRUE(host);
}

TEST(Log, KeepsAFileOfOneMebibyteAndEmptiesALongerOne) {
  for (size_t size : {size_t(0), size_t(1048576), size_t(1048577), size_t(2000000)}) {
    SCOPED_TRACE("a file of " + std::to_string(size) + " bytes");
    ScratchTempDir temp;
    const std::string old(size, 'x');
    if (size) writeFile(temp.logPath(), old);
    provokeLogLine();
    const std::string now = readFile(temp.logPath());
    const std::string kept = size <= 1048576 ? old : "";
    ASSERT_GT(now.size(), kept.size());
    EXPECT_EQ(now.compare(0, kept.size(), kept), 0);
    const std::vector<std::string> added = splitLines(now.substr(kept.size()));
    ASSERT_EQ(added.size(), 1u);
    std::string message;
    EXPECT_TRUE(messageOf(added[0], &message)) << added[0];
    EXPECT_EQ(now.back(), '\n');
  }
}

TEST(Log, UnusableTemporaryFolderIsASilentNoOp) {
  ScratchTempDir temp;
  // A folder name too long for the system's limit, a file in place of a folder, a missing one.
  const std::string longFolder =
      temp.path() + "/" + std::string(120, 'a') + "/" + std::string(120, 'b');
  std::filesystem::create_directories(longFolder);
  writeFile(temp.path() + "/plain-file", "");
  for (const std::string& folder :
       {longFolder, temp.path() + "/plain-file", temp.path() + "/missing"}) {
    SCOPED_TRACE(folder);
    host::HostProfile profile;
    profile.reportsHiddenFlag = false;
    profile.privateModuleCopy = true;
    std::string error;
    auto host = host::HeadlessHost::load(FM_MODULE_PATH, profile, &error);
    ASSERT_TRUE(host) << error;
    setenv("TMPDIR", folder.c_str(), 1);
    EXPECT_TRUE(host->start(&error)) << error;
    setenv("TMPDIR", temp.path().c_str(), 1);
    EXPECT_FALSE(std::filesystem::exists(folder + "/Fogmill.log"));
  }
  EXPECT_FALSE(std::filesystem::exists(temp.logPath()));
}

TEST(Log, ConcurrentWritersLeaveWholeLines) {
  ScratchTempDir temp;
  constexpr int kThreads = 8, kLines = 250;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) logFormatted("writer %d line %d %s", t, i, "of many");
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::set<std::pair<int, int>> seen;
  for (const std::string& line : splitLines(readFile(temp.logPath()))) {
    std::string message;
    int t = -1, i = -1, end = 0;
    ASSERT_TRUE(messageOf(line, &message)) << line;
    ASSERT_EQ(std::sscanf(message.c_str(), "writer %d line %d of many%n", &t, &i, &end), 2) << line;
    EXPECT_EQ(size_t(end), message.size()) << line;
    EXPECT_TRUE(seen.insert({t, i}).second) << line;
  }
  EXPECT_EQ(seen.size(), size_t(kThreads * kLines));
}

TEST(Log, MessageWithoutArgumentsIsWrittenVerbatim) {
  ScratchTempDir temp;
  logLine("100% done, %s %d %n");
  const std::vector<std::string> lines = splitLines(readFile(temp.logPath()));
  ASSERT_EQ(lines.size(), 1u);
  std::string message;
  EXPECT_TRUE(messageOf(lines[0], &message)) << lines[0];
  EXPECT_EQ(message, "100% done, %s %d %n");
}

}  // namespace
}  // namespace fm::test
