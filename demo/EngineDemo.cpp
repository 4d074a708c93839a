// Engine demo until the command-line tool arrives: a generated straight-alpha test card goes
// through the engine as a host frame would (import, a Gaussian Blur through the render driver,
// export) on all cores, and is written as a PAM image with alpha.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/cpu/CpuBackend.h"
#include "blurs/Render.h"
#include "engine/ThreadParallel.h"

namespace {

bool writePam(const char* path, const std::vector<float>& px, int w, int h, int pitch) {
  FILE* f = std::fopen(path, "wb");
  if (!f) return false;
  std::fprintf(f, "P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n", w, h);
  std::vector<unsigned char> row(size_t(w) * 4);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w * 4; ++x) {
      const float v = px[(size_t(y) * pitch) * 4 + x];
      row[size_t(x)] = (unsigned char)(std::fmin(std::fmax(v, 0.0f), 1.0f) * 255.0f + 0.5f);
    }
    std::fwrite(row.data(), 1, row.size(), f);
  }
  return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* outPath = argc > 1 ? argv[1] : "demo.pam";
  const int w = 640, h = 360;
  fm::ThreadParallel par(0);
  fm::CpuBackend be(&par, nullptr, nullptr);

  // Host frame: straight colour, soft alpha disc over a colour sweep.
  fm::Buffer host, input, output, hostOut;
  if (!be.allocImage(host, w, h) || !be.allocImage(input, w, h) || !be.allocImage(hostOut, w, h)) {
    std::fprintf(stderr, "out of memory\n");
    return 1;
  }
  float* hp = static_cast<float*>(host.data);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float* q = hp + (size_t(y) * host.pitch + x) * 4;
      const float dx = (x - w * 0.5f) / (h * 0.45f), dy = (y - h * 0.5f) / (h * 0.45f);
      q[0] = float(x) / w;
      q[1] = float(y) / h;
      q[2] = 0.5f + 0.5f * std::sin(x * 0.05f) * std::cos(y * 0.05f);
      q[3] = std::fmin(std::fmax(1.5f - std::sqrt(dx * dx + dy * dy), 0.0f), 1.0f);
    }

  std::string message;
  FMParams p;
  fm::makeParams(p, &input, &host, nullptr);
  bool ok = fm::launchFull(be, FM_K_IMPORT, input, &host, p);

  RenderSettings s;
  s.blurType = fm::kGaussianBlur;
  s.blurriness = 25.0;
  s.gaussianRepeatEdgePixels = false;  // let the disc's soft edge spread
  const double scale[3] = {s.downsampleX, s.downsampleY, s.pixelAspect};
  const fm::Rect rect{0, 0, w, h};
  fm::PlacedImage placed{&input, rect};
  ok = ok && fm::render(be, s, scale, placed, rect, rect, nullptr, rect, output, &message);
  if (ok) {
    fm::makeParams(p, &hostOut, &output, nullptr);
    p.flags = FM_F_CLAMP01;
    ok = fm::launchFull(be, FM_K_EXPORT, hostOut, &output, p);
  }
  std::vector<float> pixels(size_t(hostOut.pitch) * h * 4);
  ok = ok && be.download(hostOut, pixels.data()) && writePam(outPath, pixels, w, h, hostOut.pitch);
  be.freeImage(host);
  be.freeImage(input);
  be.freeImage(output);
  be.freeImage(hostOut);
  if (!ok) {
    std::fprintf(stderr, "demo failed%s%s\n", message.empty() ? "" : ": ", message.c_str());
    return 1;
  }
  std::printf("wrote %s (%d x %d) on %d threads\n", outPath, w, h, par.threadCount());
  return 0;
}
