// `fogmill demo [DIR]`: a generated scene through every blur kind, and a labelled contact sheet.
#pragma once

#include <string>

namespace fm::cli {

// Exit status; prints the contact sheet's path.
int runDemo(const std::string& folder, int threads, const std::string& module);

}  // namespace fm::cli
