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

// The GPU device a host offers: none; CUDA, else an OpenCL GPU; an OpenCL device of any kind (a
// GPU first); a CUDA device.
enum class GpuChoice { Off, Auto, OpenCL, Cuda };

struct HostProfile {
  uint32_t appId = kHeadlessAppId;  // PF_AppId_PremierePro plays Premiere Pro
  // false: the host accepts the HIDDEN stream flag but never reports it back.
  bool reportsHiddenFlag = true;
  // Suites this host does not offer, by name.
  std::vector<std::string> withheldSuites;
  // The size of the layer the effect is applied to until a layer is attached to it.
  int32_t layerWidth = 1920, layerHeight = 1080;
  // Threads of the generic iterator, the rendering thread included; 0: one per processor.
  int32_t iterateThreads = 0;
  // Load a private copy of the module, so that its process-wide state starts fresh even when
  // another host in this process loaded the same file (tests); off, the file is loaded in place.
  bool privateModuleCopy = false;
  // Whether pre-render may mix bytes into the render cache key.
  bool mixesCacheKey = true;
  // The length of one frame in seconds: keyframes are set at frame numbers, and a checkout at
  // time t of scale s reads the value at frame (t / s) / frameDuration.
  PF_Ratio frameDuration{1, 24};

  // Faults to inject: the declaration of this parameter index is refused with addParamError,
  // and checkouts of these indices fail with the given errors; layer checkouts of these ids fail
  // likewise; the abort callback reports a cancel from its query number abortFromQuery on
  // (counted from 0; -1: only when requestAbort says so); output worlds report this pixel
  // format to the world suite (0: their true format).
  int32_t refuseParamAt = -1;
  PF_Err addParamError = PF_Err_OutOfMemory;
  std::map<int32_t, PF_Err> refusedCheckouts;
  std::map<int32_t, PF_Err> refusedLayerCheckouts;
  int64_t abortFromQuery = -1;
  uint32_t outputPixelFormat = 0;

  // GPU rendering: the device offered, set up at start; frames go to the GPU render command
  // whenever pre-render says the GPU may render them. Faults: the device reports this framework
  // number (0: its own), and the device suite hands the module at most this many bytes at once
  // (-1: what the device has).
  GpuChoice gpu = GpuChoice::Off;
  int32_t gpuFramework = 0;
  int64_t gpuMemoryBudget = -1;
};

// The frame number (fractional between frames) of a time in units of 1 / timeScale seconds.
inline double frameAt(const HostProfile& profile, int32_t time, uint32_t timeScale) {
  const PF_Ratio& d = profile.frameDuration;
  if (timeScale == 0 || d.num <= 0 || d.den == 0) return time;
  return double(time) / timeScale * d.den / d.num;
}

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
  int32_t layerCheckouts = 0;  // at pre-render
  int32_t pixelCheckouts = 0;  // at render, not yet checked in
  int32_t iterations = 0;      // generic iterations run on the host's threads
  int32_t gpuRenders = 0;      // frames sent to the GPU render command
  int32_t deviceMemoryHeld = 0;   // device allocations the module holds now
  int32_t deviceAllocations = 0;  // made for the module so far
  // Broken rules of the interface: unbalanced releases, unknown handles, leaks after a
  // command. Empty for a well-behaved module.
  std::vector<std::string> faults;
};

}  // namespace fm::host
