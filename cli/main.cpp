// fogmill: renders images, sequences and movies through the Fogmill effect module, lists its
// parameters, and makes a demo.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "cli/DemoCommand.h"
#include "cli/Interrupt.h"
#include "cli/ParamsCommand.h"
#include "cli/RenderJob.h"

namespace {

using namespace fm::cli;

// GPU rendering arrives with the GPU host; until then only the CPU renders.
bool checkGpu(const std::string& gpu) {
  if (gpu == "off") return true;
  if (gpu == "auto" || gpu == "opencl" || gpu == "cuda") {
    std::fprintf(stderr, "fogmill: --gpu %s: GPU rendering is not available yet; use --gpu off "
                 "(the default), which renders on the CPU\n", gpu.c_str());
  } else {
    std::fprintf(stderr, "fogmill: --gpu %s: expected auto, opencl, cuda or off\n", gpu.c_str());
  }
  return false;
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
  app.add_flag("-v,--verbose", verbose, "Print every frame as it is rendered")->excludes(q);
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
  render->add_option("--gpu", gpu, "GPU to render on: off (the CPU; the only choice for now)");
  render->add_flag("--no-clobber", r.noClobber, "Refuse to overwrite existing output files");
  render->add_flag("--progress", r.progressLines, "Print progress as key=value lines on stderr");

  std::string kind;
  CLI::App* params = app.add_subcommand("params", "List the parameters of a blur kind (or of all) "
                                        "as the module declares them");
  params->add_option("KIND", kind, "vector, gaussian, lens, box, radial or motion");

  CLI::App* about = app.add_subcommand("about", "Print the module's About text and version");

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
    if (!checkGpu(gpu)) return 1;
    r.proxy = proxy[2] - '0';
    r.lowQuality = quality == "low";
    r.verbosity = quiet ? Verbosity::Quiet : verbose ? Verbosity::Verbose : Verbosity::Normal;
    r.module = module;
    return runRender(r);
  }
  if (*params) return runParams(kind, module);
  if (*about) return runAbout(module);
  if (*demo) return runDemo(demoDir, demoThreads, module);
  return 1;
}
