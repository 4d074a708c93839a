// A UHD frame through the module in a headless host, next to the same render through the
// engine alone, and the module's world import and export next to memcpy of the world, all in
// one run: the same thread count on every side, a warm-up, then the median of several runs.
//   fm_bench_module [--threads N] [--runs R]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "blurs/Render.h"
#include "engine/Platform.h"
#include "engine/ThreadParallel.h"
#include "engine/cpu/CpuBackend.h"
#include "host/HeadlessHost.h"
#include "plugin/WorldTransfer.h"

namespace {

constexpr int32_t kW = 3840, kH = 2160;
constexpr const char* kBlurriness = "10";

template <class Step>
double medianMs(int runs, Step&& step) {
  step();  // warm-up: first touch of every page, thread start-up
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    step();
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

std::string cpuModel() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown";
}

fm::host::Image testWorld(int32_t depth) {
  fm::host::Image world(kW, kH, depth);
  uint32_t state = 17;
  for (int32_t y = 0; y < kH; ++y) {
    for (int32_t x = 0; x < kW; ++x) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      const float noise = float(state >> 8) * (1.0f / 16777216.0f);
      const float px[4] = {float(x) / kW, float(y) / kH, noise, 0.25f + 0.75f * noise};
      world.set(x, y, px);
    }
  }
  return world;
}

fm::WorldView viewOf(fm::host::Image& world) {
  const int32_t format = world.depth() == 8 ? fm::kWorld8 : world.depth() == 16 ? fm::kWorld16 : fm::kWorld32;
  return fm::WorldView{world.row(0), world.rowBytes(), kW, kH, format, fm::Rect{0, 0, kW, kH}};
}

// memcpy of the world in the bands the import and export use, on the same parallel-for.
void copyInBands(fm::Parallel& par, const fm::host::Image& from, fm::host::Image& to) {
  struct Job {
    const fm::host::Image* from;
    fm::host::Image* to;
    int rows;
  } job{&from, &to, fm::bandRows(kH, kW, par.threadCount())};
  par.run((kH + job.rows - 1) / job.rows, &job, [](void* ctx, int band) {
    const Job& j = *static_cast<const Job*>(ctx);
    const int32_t first = band * j.rows, end = std::min(kH, first + j.rows);
    std::memcpy(j.to->row(first), j.from->row(first), size_t(j.from->rowBytes()) * (end - first));
  });
}

struct Transfer {
  double memcpyWorld, import, exportMs, memcpyImage, memsetImage;
};

// `op(at, bytes)` over [0, total) in equal pieces on the same parallel-for.
template <class Op>
void inPieces(fm::Parallel& par, size_t total, Op op) {
  struct Job {
    Op* op;
    size_t piece, total;
  } job{&op, std::max<size_t>(16, total / size_t(4 * par.threadCount()) / 16 * 16), total};
  par.run(int((total + job.piece - 1) / job.piece), &job, [](void* ctx, int i) {
    const Job& j = *static_cast<const Job*>(ctx);
    const size_t at = size_t(i) * j.piece;
    (*j.op)(at, std::min(j.piece, j.total - at));
  });
}

Transfer timeTransfer(int32_t depth, int threads, int runs) {
  fm::ThreadParallel par(threads);
  fm::CpuBackend be(&par, nullptr, nullptr);
  fm::host::Image world = testWorld(depth), copy(kW, kH, depth);
  fm::Buffer image, imageCopy;
  if (!be.allocImage(image, kW, kH) || !be.allocImage(imageCopy, kW, kH)) std::abort();
  const fm::WorldView view = viewOf(world), copyView = viewOf(copy);
  Transfer t;
  t.memcpyWorld = medianMs(runs, [&] { copyInBands(par, world, copy); });
  t.import = medianMs(runs, [&] { fm::importWorld(par, view, image); });
  t.exportMs = medianMs(runs, [&] { fm::exportWorld(par, image, copyView); });
  const size_t imageBytes = size_t(image.pitch) * kH * 16;
  char* to = static_cast<char*>(imageCopy.data);
  const char* from = static_cast<const char*>(image.data);
  t.memcpyImage = medianMs(runs, [&] {
    inPieces(par, imageBytes, [&](size_t at, size_t n) { std::memcpy(to + at, from + at, n); });
  });
  t.memsetImage = medianMs(runs, [&] {
    inPieces(par, imageBytes, [&](size_t at, size_t n) { std::memset(to + at, 0x3f, n); });
  });
  be.freeImage(image);
  be.freeImage(imageCopy);
  return t;
}

struct Frame {
  double engine, module;
};

Frame timeFrame(int32_t depth, int threads, int runs) {
  fm::host::Image world = testWorld(depth);
  Frame f;
  {
    fm::ThreadParallel par(threads);
    fm::CpuBackend be(&par, nullptr, nullptr);
    fm::Buffer input;
    if (!be.allocImage(input, kW, kH) || !fm::importWorld(par, viewOf(world), input)) std::abort();
    RenderSettings s;
    s.blurType = fm::kGaussianBlur;
    s.blurriness = std::atof(kBlurriness);
    s.bitDepth = depth;
    s.lowBitDepth = depth < 32;
    s.inputBounds = s.layerBounds = fm::Rect{0, 0, kW, kH};
    const double scale[3] = {1, 1, 1};
    f.engine = medianMs(runs, [&] {
      fm::Buffer out;
      if (!fm::render(be, s, scale, fm::PlacedImage{&input, s.inputBounds}, s.inputBounds,
                      s.layerBounds, nullptr, s.inputBounds, out, nullptr)) {
        std::abort();
      }
      be.freeImage(out);
    });
    be.freeImage(input);
  }
  fm::host::HostProfile profile;
  profile.iterateThreads = threads;
  std::string error;
  auto host = fm::host::HeadlessHost::open(FM_MODULE_PATH, profile, &error);
  if (!host || !host->attachLayer(0, fm::host::Layer::still(std::move(world)), &error) ||
      !host->setParam("Blur Type", "Gaussian Blur", &error) ||
      !host->setParam("Blurriness", kBlurriness, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    std::exit(1);
  }
  fm::host::Image target(kW, kH, depth);
  fm::host::FrameRequest request;
  request.depth = depth;
  f.module = medianMs(runs, [&] {
    const fm::host::FrameReport report = host->renderFrame(request, [&](const PF_Rect& r) {
      return fm::host::OutputTarget{target.row(0), target.rowBytes(), r};
    });
    if (!report.ok()) {
      std::fprintf(stderr, "%s\n", report.message.c_str());
      std::exit(1);
    }
  });
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  int threads = fm::activeProcessorCount(), runs = 7;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--threads") == 0) threads = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(1, std::atoi(argv[i + 1]));
  }
  std::printf("CPU: %s; %d threads on every side; median of %d runs after a warm-up\n\n",
              cpuModel().c_str(), threads, runs);
  std::printf("Moving a %dx%d world (ms); target: import and export each at most 2x memcpy of the world\n",
              kW, kH);
  std::printf("(an import writes a float image: the memset of one at the right is the least it can take)\n");
  std::printf("%5s %14s %9s %7s %9s %7s %18s %18s\n", "bits", "memcpy world", "import", "ratio",
              "export", "ratio", "memcpy float image", "memset float image");
  for (int32_t depth : {8, 16, 32}) {
    const Transfer t = timeTransfer(depth, threads, runs);
    std::printf("%5d %14.2f %9.2f %6.2fx %9.2f %6.2fx %18.2f %18.2f\n", depth, t.memcpyWorld, t.import,
                t.import / t.memcpyWorld, t.exportMs, t.exportMs / t.memcpyWorld, t.memcpyImage,
                t.memsetImage);
  }
  std::printf("\nGaussian Blur, Blurriness %s, whole frame (ms)\n", kBlurriness);
  std::printf("%5s %13s %15s %9s\n", "bits", "engine alone", "through module", "overhead");
  for (int32_t depth : {8, 16, 32}) {
    const Frame f = timeFrame(depth, threads, runs);
    std::printf("%5d %13.2f %15.2f %8.2f\n", depth, f.engine, f.module, f.module - f.engine);
  }
  return 0;
}
