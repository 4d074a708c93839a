// Which host the headless host plays, and what it counts while a module talks to it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/EffectInterface.h"

namespace fm::host {

// The application id the headless host gives when it plays no other host.
inline constexpr uint32_t kHeadlessAppId = PF_FOURCC('F', 'm', 'H', 'h');

struct HostProfile {
  uint32_t appId = kHeadlessAppId;  // PF_AppId_PremierePro plays Premiere Pro
  // false: the host accepts the HIDDEN stream flag but never reports it back.
  bool reportsHiddenFlag = true;
  // Suites this host does not offer, by name.
  std::vector<std::string> withheldSuites;
  // The layer the effect is applied to.
  int32_t layerWidth = 1920, layerHeight = 1080;

  // Faults to inject: the declaration of this parameter index is refused with addParamError,
  // and checkouts of these indices fail with the given errors.
  int32_t refuseParamAt = -1;
  PF_Err addParamError = PF_Err_OutOfMemory;
  std::map<int32_t, PF_Err> refusedCheckouts;
};

// What the module did through the host's callbacks and suites.
struct HostStats {
  int32_t suitesHeld = 0;      // acquired and not yet released
  int32_t paramCheckouts = 0;  // checked out and not yet checked in
  int32_t liveEffectObjects = 0;
  int32_t liveStreams = 0;
  int32_t registrations = 0;
  std::string registeredName;  // the name of the last registration
  int32_t streamsMade = 0;
  int32_t flagReads = 0;
  int32_t flagWrites = 0;
  int32_t undoableFlagWrites = 0;
  int32_t uiRefreshes = 0;
  int32_t abortQueries = 0;
  // Broken rules of the interface: unbalanced releases, unknown handles, leaks after a
  // command. Empty for a well-behaved module.
  std::vector<std::string> faults;
};

}  // namespace fm::host
