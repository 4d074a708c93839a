// `fogmill params [KIND]` and `fogmill about`: what the module declares, as it declares it.
#pragma once

#include <string>

namespace fm::cli {

// Exit status; the listing on stdout.
int runParams(const std::string& kind, const std::string& module);
int runAbout(const std::string& module);

}  // namespace fm::cli
