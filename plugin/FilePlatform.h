// File-system and clock queries the log needs, with a Windows and a POSIX implementation.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>

namespace fm {

// The folder the system names for temporary files, in UTF-8 (TMPDIR, else /tmp, on POSIX);
// false when the system cannot tell.
bool systemTempFolder(std::string* utf8);

// Joins a folder and a file name with the platform's separator.
std::string joinPath(const std::string& folder, const char* name);

// Opens a file by its UTF-8 path (through the wide-character path on Windows).
std::FILE* openFileUtf8(const std::string& path, const char* mode);

// The local time of t; false when the conversion fails.
bool localTime(std::time_t t, std::tm* out);

}  // namespace fm
