#include "cli/Module.h"

#include <cstdlib>
#include <filesystem>

namespace fm::cli {

std::string modulePath(const std::string& chosen) {
  if (!chosen.empty()) return chosen;
  if (const char* env = std::getenv("FOGMILL_MODULE"); env && *env) return env;
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const fs::path dir = self.parent_path();
    for (const fs::path& candidate :
         {dir / "plugin" / "Fogmill.so", dir / "Fogmill.so", dir / ".." / "lib" / "fogmill" / "Fogmill.so"}) {
      if (fs::exists(candidate, ec)) return candidate.lexically_normal().string();
    }
  }
  return FM_BUILT_MODULE_PATH;
}

std::unique_ptr<host::HeadlessHost> openModule(const std::string& chosen,
                                               const host::HostProfile& profile,
                                               std::string* error) {
  const std::string path = modulePath(chosen);
  std::string why;
  std::unique_ptr<host::HeadlessHost> host = host::HeadlessHost::open(path, profile, &why);
  if (!host && error) {
    *error = "cannot load the effect module " + path + ": " + why +
             " (build it with make, or name it with --module or FOGMILL_MODULE)";
  }
  return host;
}

std::string moduleVersion(const host::HeadlessHost& host) {
  const uint32_t v = host.propertyList().version;
  return std::to_string(v >> 19 & 0x7F) + "." + std::to_string(v >> 15 & 0xF) + "." +
         std::to_string(v >> 11 & 0xF);
}

}  // namespace fm::cli
