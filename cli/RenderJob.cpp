#include "cli/RenderJob.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <set>
#include <thread>

#include "cli/Clip.h"
#include "cli/FrameFeed.h"
#include "cli/FrameList.h"
#include "cli/Interrupt.h"
#include "cli/Module.h"
#include "cli/ModuleLogTail.h"
#include "cli/OutputFiles.h"
#include "cli/OutputSpec.h"
#include "cli/Progress.h"
#include "cli/SequencePattern.h"

namespace fm::cli {
namespace {

namespace fs = std::filesystem;

// The whole layer and far beyond: pre-render clips it to what the effect can produce.
constexpr int32_t kEverywhere = 1 << 29;

void say(const std::string& text) { std::fprintf(stderr, "fogmill: %s\n", text.c_str()); }

int failed(const std::string& text) {
  say(text);
  return 1;
}

PF_Ratio ratioOf(double v) {
  const int32_t den = 10000;
  const int32_t num = int32_t(std::lround(v * den));
  const int32_t g = std::gcd(num, den);
  return g > 0 ? PF_Ratio{num / g, uint32_t(den / g)} : PF_Ratio{1, 1};
}

OIIO::TypeDesc typeNamed(const std::string& name) {
  if (name == "uint8") return OIIO::TypeDesc::UINT8;
  if (name == "uint16") return OIIO::TypeDesc::UINT16;
  if (name == "half") return OIIO::TypeDesc::HALF;
  return OIIO::TypeDesc::FLOAT;
}

// What the frames will be: which, from where, to where, and how.
struct Plan {
  std::shared_ptr<Clip> clip;
  std::vector<int> frames;
  SequencePattern output;
  OutputFormat format;
  int depth = 32;
  int32_t timeStep = 1;
  uint32_t timeScale = 24;
};

// Tried rather than judged from permission bits, which do not tell for root or read-only
// file systems.
bool checkFolder(const std::string& path, std::string* error) {
  const fs::path parent = fs::path(path).parent_path();
  const fs::path folder = parent.empty() ? fs::path(".") : parent;
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    *error = "cannot write " + path + ": the folder " + folder.string() + " does not exist";
    return false;
  }
  const std::string probe = TempFiles::all().make(path);
  const int fd = ::open(probe.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
  const int why = errno;
  if (fd >= 0) ::close(fd);
  TempFiles::all().discard(probe);
  if (fd < 0) {
    *error = "cannot write " + path + ": the folder " + folder.string() + " is not writable (" +
             std::strerror(why) + ")";
    return false;
  }
  return true;
}

bool makePlan(const RenderOptions& o, Plan* plan, std::string* error) {
  plan->clip = Clip::open(o.input, error);
  if (!plan->clip) return false;
  const Clip& clip = *plan->clip;
  if (o.frames.empty()) {
    plan->frames = clip.frames();
  } else {
    if (!parseFrameList(o.frames, &plan->frames, error)) return false;
    for (int f : plan->frames) {
      if (!clip.has(f)) {
        *error = clip.missing(f);
        return false;
      }
    }
  }
  plan->output = SequencePattern(o.output);
  if (plan->frames.size() > 1 && !plan->output.isSequence()) {
    *error = "OUTPUT " + o.output + " names one file for " + std::to_string(plan->frames.size()) +
             " frames: give it a frame number, as in out.####.png or out.%04d.exr";
    return false;
  }
  if (!outputFormatFor(plan->output.pathOf(plan->frames.front()), &plan->format, error)) return false;
  const FileInfo& in = clip.info();
  plan->format.type = o.dataType.empty() ? in.type : typeNamed(o.dataType);
  plan->format.channels = in.hasAlpha || o.expand ? 4 : 3;
  plan->format.compression = o.compression;
  plan->depth = o.depth ? o.depth : depthOf(in.type);
  if (in.fpsNum > 0) {
    plan->timeScale = uint32_t(in.fpsNum);
    plan->timeStep = in.fpsDen;
  }

  if (!checkFolder(plan->output.pathOf(plan->frames.front()), error)) return false;
  std::vector<std::string> existing;
  for (int f : plan->frames) {
    const std::string out = plan->output.pathOf(f);
    std::error_code ec;
    if (!clip.info().movie &&
        fs::weakly_canonical(out, ec) == fs::weakly_canonical(clip.sourceOf(f), ec)) {
      *error = "OUTPUT " + out + " is the input itself: write the frames somewhere else";
      return false;
    }
    if (o.noClobber && fs::exists(out, ec)) existing.push_back(out);
  }
  if (!existing.empty()) {
    *error = existing.front() + " exists, and --no-clobber keeps it" +
             (existing.size() > 1 ? " (" + std::to_string(existing.size()) + " of the " +
                                        std::to_string(plan->frames.size()) + " output files exist)"
                                  : "");
    return false;
  }
  return true;
}

// Renders the plan's frames one after another, each on every render thread, while files are
// read ahead and written behind.
class Job {
 public:
  Job(const RenderOptions& o, const Plan& plan, host::HeadlessHost& host, ModuleLogTail& log)
      : o_(o), plan_(plan), host_(host), log_(log) {}

  // False with the reason on failure.
  bool run(std::string* error);

 private:
  bool renderOne(size_t i);
  std::set<int> wantedAround(size_t i) const;
  // With -v, what the module logged since the last look.
  void showModuleLog();

  const RenderOptions& o_;
  const Plan& plan_;
  host::HeadlessHost& host_;
  ModuleLogTail& log_;
  std::unique_ptr<FrameFeed> feed_;
  std::vector<std::unique_ptr<FrameFeed>> layerFeeds_;
  std::unique_ptr<FrameWriter> writer_;
  std::unique_ptr<Progress> progress_;
  std::string software_;
  int readAhead_ = 4;
  std::string failure_;
  std::set<int> neighbourOffsets_{0};  // where the effect reads frames, relative to its own
  std::string lastPlacement_;
};

// The frames to keep at hand around frame i: a couple before, those read ahead, and the
// neighbours each of them reads.
std::set<int> Job::wantedAround(size_t i) const {
  const std::set<int>& offsets = neighbourOffsets_;
  std::set<int> wanted;
  const auto& frames = plan_.frames;
  const size_t from = i >= 2 ? i - 2 : 0;
  for (size_t j = from; j < std::min(frames.size(), i + size_t(readAhead_) + 1); ++j) {
    for (int off : offsets) wanted.insert(frames[j] + off);
  }
  return wanted;
}

bool Job::renderOne(size_t i) {
  const int frame = plan_.frames[i];
  const std::set<int> wanted = wantedAround(i);
  for (size_t j = i; j < std::min(plan_.frames.size(), i + size_t(readAhead_) + 1); ++j) {
    feed_->prefetch(plan_.frames[j]);
    for (const auto& layer : layerFeeds_) layer->prefetch(plan_.frames[j]);
  }
  for (int f : wanted) feed_->prefetch(f);

  host::FrameRequest request;
  request.time = frame * plan_.timeStep;
  request.timeStep = request.localTimeStep = plan_.timeStep;
  request.timeScale = plan_.timeScale;
  request.depth = plan_.depth;
  request.downsampleX = request.downsampleY = PF_Ratio{1, uint32_t(o_.proxy)};
  request.quality = o_.lowQuality ? PF_Quality_Low : PF_Quality_High;
  const PF_Rect layerRect{0, 0, host::scaledSize(plan_.clip->info().width, request.downsampleX),
                          host::scaledSize(plan_.clip->info().height, request.downsampleY)};
  if (o_.expand) request.request = PF_Rect{-kEverywhere, -kEverywhere, kEverywhere, kEverywhere};

  auto image = std::make_shared<host::Image>();
  PF_Rect pixels{};
  const auto t0 = std::chrono::steady_clock::now();
  const host::FrameReport r = host_.renderFrame(request, [&](const PF_Rect& result) {
    const bool empty = result.right <= result.left || result.bottom <= result.top;
    pixels = o_.expand && !empty ? result : layerRect;
    *image = host::Image(pixels.right - pixels.left, pixels.bottom - pixels.top, plan_.depth);
    return host::OutputTarget{image->row(0), image->rowBytes(), pixels};
  });
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (interrupted()) return false;
  // A frame that cannot be read fails the frames that wanted it, and only those.
  for (const host::CheckoutRecord& c : r.checkouts) {
    if (c.paramIndex == 0 && c.time % plan_.timeStep == 0 && failure_.empty()) {
      failure_ = feed_->errorOf(c.time / plan_.timeStep);
    }
  }
  for (const auto& layer : layerFeeds_) {
    if (failure_.empty()) failure_ = layer->error();
  }
  if (failure_.empty() && !r.ok()) failure_ = "frame " + std::to_string(frame) + ": " + r.message;
  if (!failure_.empty()) return false;
  for (const host::CheckoutRecord& c : r.checkouts) {
    if (c.paramIndex == 0) neighbourOffsets_.insert((c.time - request.time) / plan_.timeStep);
  }

  const std::shared_ptr<const FeedFrame> source = feed_->get(frame);
  const auto layout = std::make_shared<const OutputLayout>(
      outputLayout(plan_.format, source ? source->header : plan_.clip->info().spec,
                   plan_.clip->info().formatName, pixels, plan_.clip->info(), o_.proxy, software_));
  const std::string path = plan_.output.pathOf(frame);
  if (o_.expand && !plan_.format.displayWindow && o_.verbosity != Verbosity::Quiet) {
    const std::string placement = std::to_string(pixels.right - pixels.left) + "x" +
                                  std::to_string(pixels.bottom - pixels.top) + ", its top-left at (" +
                                  std::to_string(pixels.left) + ", " + std::to_string(pixels.top) +
                                  ") of the input";
    if (placement != lastPlacement_) {
      progress_->note("fogmill: " + path + ": the whole result, " + placement);
      lastPlacement_ = placement;
    }
  }
  if (o_.verbosity == Verbosity::Verbose) {
    showModuleLog();
    char line[256];
    std::snprintf(line, sizeof(line), "frame %d: %s -> %s, %dx%d at (%d, %d), rendered in %.3f s",
                  frame, plan_.clip->sourceOf(frame).c_str(), path.c_str(),
                  pixels.right - pixels.left, pixels.bottom - pixels.top, pixels.left, pixels.top,
                  seconds);
    progress_->note(line);
  }
  writer_->write(path, image, layout, [this] { progress_->frameDone(); });
  failure_ = writer_->error();
  if (!failure_.empty()) return false;
  const auto keep = [&](int f) { return wanted.count(f) != 0; };
  feed_->keepOnly(keep);
  for (const auto& layer : layerFeeds_) layer->keepOnly(keep);
  return true;
}

bool Job::run(std::string* error) {
  const FileInfo& in = plan_.clip->info();
  software_ = "Fogmill " + moduleVersion(host_);
  const int hardware = int(std::max(1u, std::thread::hardware_concurrency()));
  // Decoding and encoding files costs about as much processor time as rendering them, so the
  // readers and writers may use half the processors; the renders wait for nothing else.
  const int ioThreads = std::clamp(hardware / 2, 2, 8);
  const size_t frameBytes = size_t(in.width) * in.height * size_t(host::pixelBytesOf(plan_.depth));
  readAhead_ = int(std::clamp<size_t>((size_t(1) << 30) / std::max<size_t>(frameBytes, 1), 2,
                                      size_t(2 * ioThreads)));
  feed_ = std::make_unique<FrameFeed>(plan_.clip, plan_.depth, ioThreads);
  writer_ = std::make_unique<FrameWriter>(ioThreads, 2 * ioThreads);

  std::string why;
  if (!host_.attachLayer(0, feed_->layer(plan_.timeStep, ratioOf(in.pixelAspect)), &why)) {
    *error = why;
    return false;
  }
  const LayerOpener openLayer = [&](const std::string& path, std::string* e) -> std::shared_ptr<const host::Layer> {
    std::shared_ptr<Clip> clip = Clip::open(path, e);
    if (!clip) return nullptr;
    const double aspect = clip->info().pixelAspect;
    layerFeeds_.push_back(std::make_unique<FrameFeed>(std::move(clip), plan_.depth, 1));
    return layerFeeds_.back()->layer(plan_.timeStep, ratioOf(aspect));
  };
  if (!applySettings(host_, o_.params, openLayer, error)) return false;

  // Asked-for progress lines survive -q: a farm wrapper wants them and nothing else.
  const ProgressStyle style = o_.progressLines                  ? ProgressStyle::KeyValue
                              : o_.verbosity == Verbosity::Quiet ? ProgressStyle::None
                              : o_.verbosity == Verbosity::Normal && isatty(STDERR_FILENO)
                                  ? ProgressStyle::Line
                                  : ProgressStyle::None;
  progress_ = std::make_unique<Progress>(style, int(plan_.frames.size()), plan_.output.text());
  onInterrupt([this] { host_.requestAbort(true); });
  bool rendered = true;
  for (size_t i = 0; i < plan_.frames.size() && rendered; ++i) rendered = renderOne(i);
  if (rendered) {
    writer_->finish();
    failure_ = writer_->error();
  } else {
    writer_->cancel();
  }
  onInterrupt(nullptr);
  progress_->finish();
  TempFiles::all().removeAll();
  if (interrupted()) {
    *error = "interrupted; " + std::to_string(progress_->done()) + " of " +
             std::to_string(plan_.frames.size()) + " frames were written";
    return false;
  }
  if (!failure_.empty()) {
    *error = failure_;
    return false;
  }
  if (o_.verbosity != Verbosity::Quiet) {
    const double s = progress_->seconds();
    if (plan_.frames.size() == 1) {
      say("wrote " + plan_.output.pathOf(plan_.frames.front()) + " in " + durationText(s));
    } else {
      char rate[32];
      std::snprintf(rate, sizeof(rate), "%.1f", s > 0 ? plan_.frames.size() / s : 0.0);
      say("wrote " + std::to_string(plan_.frames.size()) + " frames (" +
          describeFrames(plan_.frames) + ") to " + plan_.output.text() + " in " + durationText(s) +
          ", " + rate + " frames per second");
    }
  }
  showModuleLog();
  return true;
}

void Job::showModuleLog() {
  if (o_.verbosity != Verbosity::Verbose) return;
  for (const std::string& line : log_.newLines()) progress_->note("fogmill: module log: " + line);
}

const char* gpuOptionText(host::GpuChoice choice) {
  switch (choice) {
    case host::GpuChoice::Auto:
      return "auto";
    case host::GpuChoice::OpenCL:
      return "opencl";
    case host::GpuChoice::Cuda:
      return "cuda";
    default:
      return "off";
  }
}

// Which processor renders, as the user asked: a GPU asked for by name must exist.
bool checkGpu(const RenderOptions& o, const host::HeadlessHost& host, std::string* error) {
  const std::string option = std::string("--gpu ") + gpuOptionText(o.gpu);
  if (o.gpu == host::GpuChoice::Off) {
    if (o.verbosity == Verbosity::Verbose) say("rendering on the CPU");
    return true;
  }
  if (host.gpuDeviceName().empty()) {
    if (o.gpu != host::GpuChoice::Auto) {
      *error = option + ": " + host.gpuWhy();
      return false;
    }
    if (o.verbosity == Verbosity::Verbose) say("no GPU found (" + host.gpuWhy() + "); rendering on the CPU");
    return true;
  }
  const std::string device = host.gpuDeviceName() +
                             (host.gpuFramework() == PF_GpuFramework_Cuda ? " (CUDA)" : " (OpenCL)");
  if (!host.gpuAccepted()) {
    if (o.verbosity != Verbosity::Quiet) say(option + ": the module cannot use " + device + "; rendering on the CPU");
  } else if (o.verbosity == Verbosity::Verbose) {
    say("rendering on " + device + " where the module offers it, else on the CPU");
  }
  return true;
}

}  // namespace

int runRender(const RenderOptions& o) {
  std::string error;
  Plan plan;
  if (!makePlan(o, &plan, &error)) return failed(error);

  ModuleLogTail log;
  host::HostProfile profile;
  profile.iterateThreads = o.threads;
  profile.frameDuration = PF_Ratio{plan.timeStep, plan.timeScale};
  profile.gpu = o.gpu;
  std::unique_ptr<host::HeadlessHost> host = openModule(o.module, profile, &error);
  if (!host) return failed(error);
  if (!checkGpu(o, *host, &error)) return failed(error);
  Job job(o, plan, *host, log);
  if (!job.run(&error)) {
    say(error);
    return interrupted() ? interruptStatus() : 1;
  }
  return 0;
}

}  // namespace fm::cli
