#include "plugin/Log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "plugin/EffectIdentity.h"
#include "plugin/FilePlatform.h"

namespace fm {
namespace {

constexpr long kLogKeepBytes = 1048576;  // a longer file is emptied before the next line
constexpr size_t kMaxFolderLength = 260;

// One writer at a time in this process; the file is opened per line so that several host
// processes can share it.
std::mutex logMutex;

void writeLine(const char* message) {
  std::lock_guard<std::mutex> lock(logMutex);
  std::string folder;
  if (!systemTempFolder(&folder) || folder.empty() || folder.size() > kMaxFolderLength) return;
  const std::string path = joinPath(folder, FM_EFFECT_NAME ".log");

  char when[32] = "";
  std::tm local{};
  if (!localTime(std::time(nullptr), &local) ||
      std::strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", &local) == 0) {
    when[0] = '\0';
  }
  char prefix[96];
  std::snprintf(prefix, sizeof(prefix), "%s %s %s: ", when, FM_EFFECT_NAME, FM_VERSION_TEXT);
  std::string line = prefix;
  line += message;
  line += '\n';

  // Nothing below allocates, so the file is always closed again.
  std::FILE* file = openFileUtf8(path, "ab");
  if (!file) return;
  // A size that cannot be told counts as too large.
  const long size = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
  if (size < 0 || size > kLogKeepBytes) {
    std::fclose(file);
    file = openFileUtf8(path, "wb");
    if (!file) return;
  }
  // One write per line, so that lines from other processes never land inside it.
  std::fwrite(line.data(), 1, line.size(), file);
  std::fclose(file);
}

void writeFormatted(const char* format, va_list args) {
  va_list measureArgs;
  va_copy(measureArgs, args);
  const int n = std::vsnprintf(nullptr, 0, format, measureArgs);
  va_end(measureArgs);
  if (n < 0) return;
  std::string message(size_t(n) + 1, '\0');
  std::vsnprintf(&message[0], message.size(), format, args);
  message.resize(size_t(n));
  writeLine(message.c_str());
}

}  // namespace

void logLine(const char* message) {
  if (!message) return;
  try {
    writeLine(message);
  } catch (...) {
  }
}

void logFormatted(const char* format, ...) {
  if (!format) return;
  va_list args;
  va_start(args, format);
  try {
    writeFormatted(format, args);
  } catch (...) {
  }
  va_end(args);
}

}  // namespace fm
