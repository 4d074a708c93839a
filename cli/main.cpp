// fogmill: renders images, sequences and movies through the Fogmill effect module, lists its
// parameters, and makes a demo.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "cli/DemoCommand.h"
#include "cli/Interrupt.h"
#include "cli/ParamsCommand.h"
#include "cli/RenderJob.h"
#include "host/GpuDevice.h"

namespace {

using namespace fm::cli;
namespace host = fm::host;

host::GpuChoice gpuChoice(const std::string& option) {
  if (option == "auto") return host::GpuChoice::Auto;
  if (option == "opencl") return host::GpuChoice::OpenCL;
  if (option == "cuda") return host::GpuChoice::Cuda;
  return host::GpuChoice::Off;
}

// What a render could run on: every GPU device the runtimes report, and why a runtime reports none.
int runDevices() {
  std::vector<std::string> notes;
  const std::vector<host::GpuDeviceListing> devices = host::listGpuDevices(&notes);
  for (const host::GpuDeviceListing& d : devices) {
    std::printf("%-7s %-6s %s\n", d.framework.c_str(), d.kind.c_str(), d.name.c_str());
  }
  for (const std::string& note : notes) std::printf("%s\n", note.c_str());
  if (devices.empty()) std::printf("no GPU device: renders run on the CPU\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  watchInterrupts();
  CLI::App app{"Fogmill: the blur effect module on images, sequences and movies.\n"
               "Sequences are named with #### or @@@@ (a lone # is four digits) or %04d."};
  app.require_subcommand(1);
  std::string module;
  app.add_option("--module", module, "The effect module (default: $FOGMILL_MODULE, else the one "
                 "beside this program)")->type_name("PATH");
  bool quiet = false, verbose = false;
  auto* q = app.add_flag("-q,--quiet", quiet, "Print nothing but errors");
  app.add_flag("-v,--verbose", verbose, "Print every frame as it is rendered, the device it "
               "renders on and what the module logs (GPU fallbacks, the GPU switch-off)")->excludes(q);
  // Options of the tool as a whole may also follow the command's name.
  app.fallthrough();

  RenderOptions r;
  std::string gpu = "off", quality = "high", proxy = "1/1";
  CLI::App* render = app.add_subcommand("render", "Render INPUT (an image, a sequence such as "
                                        "shot.####.exr, or a movie) into OUTPUT");
  render->add_option("INPUT", r.input, "Image, sequence or movie to read")->required();
  render->add_option("OUTPUT", r.output, "Image or sequence to write")->required();
  render->add_option("--blur", r.params.blur, "Blur kind: vector, gaussian, lens, box, radial, "
                     "motion, or a \"Blur Type\" label")->type_name("KIND");
  render->add_option("--set", r.params.sets, "Set a parameter of the kind by its panel name; "
                     "keyframes as VALUE@FRAME,VALUE@FRAME (repeatable)")
      ->type_name("\"NAME=VALUE\"")->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  render->add_option("--layer", r.params.layers, "Attach an image, sequence or movie to a layer "
                     "parameter such as \"Vector Map\" (repeatable)")
      ->type_name("\"NAME=PATH\"")->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  render->add_option("--frames", r.frames, "Frames to render: 7, 1-100, 1-100x2, 1,5,10-20 "
                     "(default: all the input has)")->type_name("LIST");
  render->add_option("--depth", r.depth, "Bits per channel of the render (default: the input's "
                     "8 or 16, else 32)")->check(CLI::IsMember({8, 16, 32}));
  render->add_option("-d,--data-type", r.dataType, "Channel type of the output files (default: "
                     "the input's)")->check(CLI::IsMember({"uint8", "uint16", "half", "float"}));
  render->add_option("--compression", r.compression, "Compression of the output files, as "
                     "oiiotool names it: zip:6, piz, dwaa:45, lzw, none (default: the input's; "
                     "PNG: zip:1, fast)")->type_name("NAME[:LEVEL]");
  render->add_flag("--expand", r.expand, "Write the whole result the blur reaches, beyond the "
                   "input's edges (EXR: as a data window larger than the display window)");
  render->add_option("--proxy", proxy, "Render at reduced resolution: 1/2, 1/3 or 1/4")
      ->check(CLI::IsMember({"1/1", "1/2", "1/3", "1/4"}));
  render->add_option("--quality", quality, "Render quality")->check(CLI::IsMember({"low", "high"}));
  render->add_option("--threads", r.threads, "Threads to render with (0: every processor)")
      ->check(CLI::NonNegativeNumber);
  render->add_option("--gpu", gpu, "Where to render: auto (a CUDA device, else an OpenCL GPU, else "
                     "the CPU), opencl (an OpenCL device, a CPU one such as PoCL included), cuda, "
                     "or off (the CPU; the default). A frame the GPU fails on renders on the CPU")
      ->check(CLI::IsMember({"auto", "opencl", "cuda", "off"}));
  render->add_flag("--no-clobber", r.noClobber, "Refuse to overwrite existing output files");
  render->add_flag("--progress", r.progressLines, "Print progress as key=value lines on stderr");

  std::string kind;
  CLI::App* params = app.add_subcommand("params", "List the parameters of a blur kind (or of all) "
                                        "as the module declares them");
  params->add_option("KIND", kind, "vector, gaussian, lens, box, radial or motion");

  CLI::App* about = app.add_subcommand("about", "Print the module's About text and version");

  CLI::App* devices = app.add_subcommand("devices", "List the GPU devices --gpu can render on");

  std::string demoDir = "fogmill-demo";
  CLI::App* demo = app.add_subcommand("demo", "Render a generated scene through every blur kind "
                                      "and write a contact sheet");
  demo->add_option("DIR", demoDir, "Folder to write into (made when missing)");
  int demoThreads = 0;
  demo->add_option("--threads", demoThreads, "Threads to render with (0: every processor)")
      ->check(CLI::NonNegativeNumber);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help is a success; anything else the command line got wrong is a usage error.
    return app.exit(e) == 0 ? 0 : 2;
  }

  if (*render) {
    r.gpu = gpuChoice(gpu);
    r.proxy = proxy[2] - '0';
    r.lowQuality = quality == "low";
    r.verbosity = quiet ? Verbosity::Quiet : verbose ? Verbosity::Verbose : Verbosity::Normal;
    r.module = module;
    return runRender(r);
  }
  if (*params) return runParams(kind, module);
  if (*about) return runAbout(module);
  if (*devices) return runDevices();
  if (*demo) return runDemo(demoDir, demoThreads, module);
  return 1;
}
