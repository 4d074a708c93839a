#include "plugin/FilePlatform.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace fm {

#if defined(_WIN32)

namespace {

bool toUtf8(const wchar_t* wide, int length, std::string* out) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return false;
  out->assign(size_t(n), '\0');
  return WideCharToMultiByte(CP_UTF8, 0, wide, length, &(*out)[0], n, nullptr, nullptr) == n;
}

bool toWide(const std::string& utf8, std::wstring* out) {
  const int n =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()), nullptr, 0);
  if (n <= 0) return false;
  out->assign(size_t(n), L'\0');
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()),
                             &(*out)[0], n) == n;
}

}  // namespace

bool systemTempFolder(std::string* utf8) {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  return n > 0 && n <= MAX_PATH && toUtf8(buffer, int(n), utf8);
}

std::string joinPath(const std::string& folder, const char* name) {
  const bool separated = !folder.empty() && (folder.back() == '\\' || folder.back() == '/');
  return separated ? folder + name : folder + '\\' + name;
}

std::FILE* openFileUtf8(const std::string& path, const char* mode) {
  std::wstring widePath, wideMode;
  if (!toWide(path, &widePath) || !toWide(mode, &wideMode)) return nullptr;
  return _wfopen(widePath.c_str(), wideMode.c_str());
}

bool localTime(std::time_t t, std::tm* out) {
  return localtime_s(out, &t) == 0;
}

#else

bool systemTempFolder(std::string* utf8) {
  const char* folder = std::getenv("TMPDIR");
  *utf8 = folder && *folder ? folder : "/tmp";
  return true;
}

std::string joinPath(const std::string& folder, const char* name) {
  const bool separated = !folder.empty() && folder.back() == '/';
  return separated ? folder + name : folder + '/' + name;
}

std::FILE* openFileUtf8(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

bool localTime(std::time_t t, std::tm* out) {
  return localtime_r(&t, out) != nullptr;
}

#endif

}  // namespace fm
