#include "cli/ModuleLogTail.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace fm::cli {
namespace {

// Where the module writes it: the system's temporary folder.
std::string logPath() {
  const char* folder = std::getenv("TMPDIR");
  std::string path = folder && *folder ? folder : "/tmp";
  if (path.back() != '/') path += '/';
  return path + "Fogmill.log";
}

uint64_t sizeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

}  // namespace

ModuleLogTail::ModuleLogTail() : path_(logPath()), offset_(sizeOf(path_)) {}

std::vector<std::string> ModuleLogTail::newLines() {
  std::vector<std::string> lines;
  const uint64_t size = sizeOf(path_);
  if (size < offset_) offset_ = 0;
  if (size == offset_) return lines;
  std::FILE* f = std::fopen(path_.c_str(), "rb");
  if (!f) return lines;
  if (std::fseek(f, long(offset_), SEEK_SET) == 0) {
    std::string line;
    for (int c; (c = std::fgetc(f)) != EOF;) {
      if (c != '\n') {
        line += char(c);
        continue;
      }
      offset_ += line.size() + 1;
      lines.push_back(line);
      line.clear();
    }
  }
  std::fclose(f);
  return lines;
}

}  // namespace fm::cli
