// Finding and starting the effect module in a headless host.
#pragma once

#include <memory>
#include <string>

#include "host/HeadlessHost.h"

namespace fm::cli {

// The module file: `chosen` when given (--module), else $FOGMILL_MODULE, else Fogmill.so beside
// this program (its plugin/ folder in a build tree, ../lib/fogmill once installed), else the
// one this program was built with.
std::string modulePath(const std::string& chosen);

// The module loaded and started; null with the reason.
std::unique_ptr<host::HeadlessHost> openModule(const std::string& chosen,
                                               const host::HostProfile& profile,
                                               std::string* error);

// "1.1.0": the version the module's property list gives.
std::string moduleVersion(const host::HeadlessHost& host);

}  // namespace fm::cli
