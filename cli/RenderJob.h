// `fogmill render`: an image, sequence or movie through the module into image files.
#pragma once

#include <string>

#include "cli/ParamSetup.h"
#include "host/HostProfile.h"

namespace fm::cli {

enum class Verbosity { Quiet, Normal, Verbose };

struct RenderOptions {
  std::string input, output;
  ParamSettings params;
  std::string frames;         // --frames; empty: every frame the input has
  int depth = 0;              // --depth 8|16|32; 0: the input's
  std::string dataType;       // -d uint8|uint16|half|float; empty: the input's
  std::string compression;    // --compression; empty: the input's, or a fast default
  bool expand = false;
  int proxy = 1;              // render at 1/proxy of the full resolution
  bool lowQuality = false;
  int threads = 0;            // 0: every processor
  bool noClobber = false;
  Verbosity verbosity = Verbosity::Normal;
  bool progressLines = false;  // key=value progress on stderr
  std::string module;          // --module
  host::GpuChoice gpu = host::GpuChoice::Off;  // --gpu
};

// Runs the job; the process's exit status: 0 done, 1 failed (with a message on stderr),
// 128 + signal when interrupted.
int runRender(const RenderOptions& options);

}  // namespace fm::cli
