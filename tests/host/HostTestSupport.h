// Shared by the module and headless-host tests: the built module opened in a headless host,
// and a scratch temporary folder for what the module and the host write there.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "host/HeadlessHost.h"

namespace fm::test {

// Each test's host loads a private copy, so no module state carries over from another host.
inline std::unique_ptr<host::HeadlessHost> openModule(host::HostProfile profile = {}) {
  profile.privateModuleCopy = true;
  std::string error;
  std::unique_ptr<host::HeadlessHost> h = host::HeadlessHost::open(FM_MODULE_PATH, profile, &error);
  EXPECT_TRUE(h) << error;
  return h;
}

// A fresh folder that TMPDIR names while this object lives.
class ScratchTempDir {
 public:
  ScratchTempDir() {
    const char* old = getenv("TMPDIR");
    hadOld_ = old != nullptr;
    if (old) old_ = old;
    std::string pattern = std::filesystem::temp_directory_path().string() + "/fm-test-XXXXXX";
    if (mkdtemp(&pattern[0])) path_ = pattern;
    EXPECT_FALSE(path_.empty()) << "cannot make a scratch folder";
    setenv("TMPDIR", path_.c_str(), 1);
  }
  ~ScratchTempDir() {
    if (hadOld_) {
      setenv("TMPDIR", old_.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  ScratchTempDir(const ScratchTempDir&) = delete;
  ScratchTempDir& operator=(const ScratchTempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string logPath() const { return path_ + "/Fogmill.log"; }

 private:
  std::string path_, old_;
  bool hadOld_ = false;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));  // an unterminated last line
  return lines;
}

}  // namespace fm::test
