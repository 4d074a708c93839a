// fogmill's file pipeline next to the render alone: a 1920 x 1080 16-bit PNG sequence (100
// frames unless told otherwise) through Gaussian Blur "Blurriness" 20 on every core. Reading
// ahead and writing behind should keep the whole run within 1.3 times the render alone.
//
// fm_bench_cli [--frames N] [--repetitions R] [--threads T] [--folder DIR]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cli/Clip.h"
#include "cli/DemoScene.h"
#include "cli/Module.h"
#include "cli/OutputFiles.h"
#include "cli/OutputSpec.h"
#include "cli/RenderJob.h"
#include "cli/SequencePattern.h"
#include "host/HeadlessHost.h"

namespace {

namespace fs = std::filesystem;
using fm::cli::SequencePattern;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 1920, kHeight = 1080;

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

std::string processor() {
  std::ifstream info("/proc/cpuinfo");
  for (std::string line; std::getline(info, line);) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown processor";
}

// A plate: the demo's moving shot at full HD, with a different frame for every number.
bool makeFrames(const SequencePattern& pattern, int frames) {
  std::vector<std::thread> pool;
  std::atomic<int> next{1};
  std::atomic<bool> ok{true};
  fm::cli::OutputLayout layout;
  layout.spec = OIIO::ImageSpec(kWidth, kHeight, 3, OIIO::TypeDesc::UINT16);
  for (unsigned t = 0; t < std::max(1u, std::thread::hardware_concurrency()); ++t) {
    pool.emplace_back([&] {
      for (int f; (f = next++) <= frames;) {
        std::string error;
        const fm::host::Image image = fm::cli::movingFrame(kWidth, kHeight, 16, f % 40 - 20);
        if (!fm::cli::writeFileSafely(pattern.pathOf(f), image, layout, &error)) {
          std::fprintf(stderr, "fm_bench_cli: %s\n", error.c_str());
          ok = false;
        }
      }
    });
  }
  for (std::thread& t : pool) t.join();
  return ok;
}

// Seconds per frame of the render alone: the same host, request and threads as fogmill render,
// with frames already in memory and nothing written.
double renderAlone(const fm::cli::Clip& clip, int frames, int threads) {
  constexpr int kHeld = 8;
  std::map<int32_t, fm::host::Image> held;
  for (int f = 1; f <= kHeld; ++f) {
    OIIO::ImageSpec header;
    std::string error;
    if (!clip.read(f, 16, &held[f], &header, &error)) {
      std::fprintf(stderr, "fm_bench_cli: %s\n", error.c_str());
      std::exit(1);
    }
  }
  fm::host::HostProfile profile;
  profile.iterateThreads = threads;
  std::string error;
  auto host = fm::cli::openModule("", profile, &error);
  if (!host || !host->attachLayer(0, fm::host::Layer::sequence(std::move(held)), &error) ||
      !host->setParam("Blur Type", "Gaussian Blur", &error) ||
      !host->setParam("Blurriness", "20", &error)) {
    std::fprintf(stderr, "fm_bench_cli: %s\n", error.c_str());
    std::exit(1);
  }
  const auto renderOne = [&](int i) {
    fm::host::FrameRequest request;
    request.time = 1 + i % kHeld;
    request.depth = 16;
    fm::host::Image out(kWidth, kHeight, 16);
    const fm::host::FrameReport report = host->renderFrame(request, [&](const PF_Rect&) {
      return fm::host::OutputTarget{out.row(0), out.rowBytes(), PF_Rect{0, 0, kWidth, kHeight}};
    });
    if (!report.ok()) {
      std::fprintf(stderr, "fm_bench_cli: %s\n", report.message.c_str());
      std::exit(1);
    }
  };
  for (int i = 0; i < 3; ++i) renderOne(i);  // warm-up
  const auto t0 = Clock::now();
  for (int i = 0; i < frames; ++i) renderOne(i);
  return since(t0) / frames;
}

// Seconds per frame of fogmill render on the sequence, files and all.
double wholeRun(const SequencePattern& in, const fs::path& outFolder, const std::string& frames,
                int count, int threads) {
  fs::remove_all(outFolder);
  fs::create_directories(outFolder);
  fm::cli::RenderOptions o;
  o.input = in.text();
  o.output = (outFolder / "out.####.png").string();
  o.params.blur = "gaussian";
  o.params.sets = {"Blurriness=20"};
  o.frames = frames;
  o.threads = threads;
  o.verbosity = fm::cli::Verbosity::Quiet;
  const auto t0 = Clock::now();
  if (fm::cli::runRender(o) != 0) std::exit(1);
  return since(t0) / count;
}

// Single-threaded seconds to read and to write one frame.
std::pair<double, double> fileCosts(const fm::cli::Clip& clip, const fs::path& folder) {
  fm::host::Image image;
  OIIO::ImageSpec header;
  std::string error;
  const auto t0 = Clock::now();
  for (int f = 1; f <= 3; ++f) clip.read(f, 16, &image, &header, &error);
  const double read = since(t0) / 3;
  fm::cli::OutputLayout layout;
  layout.spec = OIIO::ImageSpec(kWidth, kHeight, 3, OIIO::TypeDesc::UINT16);
  fm::cli::setCompression("png", "", &layout.spec);
  const auto t1 = Clock::now();
  for (int i = 0; i < 3; ++i) fm::cli::writeFileSafely((folder / "cost.png").string(), image, layout, &error);
  return {read, since(t1) / 3};
}

}  // namespace

int main(int argc, char** argv) {
  int frames = 100, repetitions = 3, threads = 0;
  fs::path folder = FM_BENCH_FOLDER;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--frames") frames = std::max(10, std::atoi(argv[i + 1]));
    else if (arg == "--repetitions") repetitions = std::max(1, std::atoi(argv[i + 1]));
    else if (arg == "--threads") threads = std::max(0, std::atoi(argv[i + 1]));
    else if (arg == "--folder") folder = argv[i + 1];
  }
  const SequencePattern plate((folder / "in" / "plate.####.png").string());
  fs::create_directories(folder / "in");
  if (int(plate.framesOnDisk().size()) < frames) {
    std::printf("fm_bench_cli: writing %d frames of %dx%d 16-bit PNG into %s\n", frames, kWidth, kHeight,
                (folder / "in").c_str());
    if (!makeFrames(plate, frames)) return 1;
  }
  std::string error;
  const auto clip = fm::cli::Clip::open(plate.text(), &error);
  if (!clip) {
    std::fprintf(stderr, "fm_bench_cli: %s\n", error.c_str());
    return 1;
  }
  const int shown = threads ? threads : int(std::max(1u, std::thread::hardware_concurrency()));
  std::printf("fm_bench_cli: %s, %d threads; %d frames %dx%d 16-bit PNG, Gaussian Blur \"Blurriness\" 20\n",
              processor().c_str(), shown, frames, kWidth, kHeight);

  const std::string range = "1-" + std::to_string(frames);
  wholeRun(plate, folder / "out", "1-10", 10, threads);  // warm-up, and the files into the cache
  std::vector<double> alone, whole;
  for (int r = 0; r < repetitions; ++r) {
    alone.push_back(renderAlone(*clip, frames, threads));
    whole.push_back(wholeRun(plate, folder / "out", range, frames, threads));
  }
  const auto [read, write] = fileCosts(*clip, folder);
  const double a = median(alone), w = median(whole);
  std::printf("render alone   %7.2f frames/s  (%.1f ms a frame, median of %d)\n", 1 / a, 1e3 * a, repetitions);
  std::printf("whole run      %7.2f frames/s  (%.1f ms a frame, median of %d): %.2f x the render "
              "alone (target: at most 1.30)\n", 1 / w, 1e3 * w, repetitions, w / a);
  std::printf("one thread     read %.1f ms, write %.1f ms a frame\n", 1e3 * read, 1e3 * write);
  return 0;
}
