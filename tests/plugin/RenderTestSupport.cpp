#include "tests/plugin/RenderTestSupport.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

#include "blurs/Render.h"
#include "engine/ImageList.h"
#include "engine/ThreadParallel.h"
#include "engine/cpu/CpuBackend.h"

namespace fm::test {
namespace {

// A value in [0, 1) from integer coordinates.
float hash(uint32_t x, uint32_t y, uint32_t seed) {
  uint32_t h = x * 374761393u + y * 668265263u + seed * 2246822519u;
  h = (h ^ (h >> 13)) * 1274126177u;
  return float((h ^ (h >> 16)) & 0xffffff) / float(0x1000000);
}

// Smooth texture with sharp edges: a few sines and a checker, plus noise.
float texture(double x, double y, uint32_t seed, int channel) {
  const double k = 0.21 + 0.05 * channel + 0.01 * (seed % 7);
  const double smooth = 0.5 + 0.25 * std::sin(x * k + seed) * std::cos(y * k * 0.7 + channel);
  const bool checker = (int(std::floor(x / 7)) + int(std::floor(y / 5))) % 2 == 0;
  return float(std::clamp(smooth + (checker ? 0.2 : -0.2), 0.0, 1.0));
}

struct alignas(16) Px {
  float v[4] = {0, 0, 0, 0};
};

// A host pixel as straight floats, the way a host world is read: integer channels times the
// reciprocal of their full value, 16-bit alpha at most 1.
void straightPixel(const host::Image& image, int32_t x, int32_t y, float rgba[4]) {
  if (image.depth() == 32) return image.get(x, y, rgba);
  const unsigned char* p = image.row(y) + int64_t(x) * host::pixelBytesOf(image.depth());
  float argb[4];
  if (image.depth() == 8) {
    for (int c = 0; c < 4; ++c) argb[c] = p[c] * (1.0f / 255.0f);
  } else {
    uint16_t v[4];
    std::memcpy(v, p, sizeof(v));
    for (int c = 0; c < 4; ++c) argb[c] = v[c] * (1.0f / 32768.0f);
    argb[0] = std::min(argb[0], 1.0f);
  }
  rgba[0] = argb[1];
  rgba[1] = argb[2];
  rgba[2] = argb[3];
  rgba[3] = argb[0];
}

// The engine's side: a CPU backend of its own and the transfer kernels.
class Engine {
 public:
  Engine() : par_(2), be_(&par_, nullptr, nullptr), images_(be_) {}

  Backend& backend() { return be_; }

  const Buffer* import(const host::Image& image) {
    const int w = image.width(), h = image.height();
    std::vector<Px> straight(size_t(w) * h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) straightPixel(image, x, y, straight[size_t(y) * w + x].v);
    const Buffer src{straight.data(), w, h, w, false};
    Buffer* dst = images_.add(w, h);
    if (!dst) return nullptr;
    FMParams p;
    makeParams(p, dst, &src, nullptr);
    EXPECT_TRUE(launchFull(be_, FM_K_IMPORT, *dst, &src, p));
    return dst;
  }

  host::Image exportTo(const Buffer& engine, int32_t depth) {
    const int w = engine.width, h = engine.height;
    std::vector<Px> straight(size_t(w) * h);
    Buffer dst{straight.data(), w, h, w, false};
    FMParams p;
    makeParams(p, &dst, &engine, nullptr);
    EXPECT_TRUE(launchFull(be_, FM_K_EXPORT, dst, &engine, p));
    host::Image out(w, h, depth);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) out.set(x, y, straight[size_t(y) * w + x].v);
    return out;
  }

  PlacedImage place(const PlacedFrame* frame) {
    if (!frame || !frame->image || frame->image->empty()) return PlacedImage{nullptr, Rect{}};
    return PlacedImage{import(*frame->image), frame->rect};
  }

 private:
  ThreadParallel par_;
  CpuBackend be_;
  ImageList images_;
};

}  // namespace

host::Image testFrame(int32_t width, int32_t height, int32_t depth, uint32_t seed) {
  host::Image image(width, height, depth);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      float px[4];
      for (int c = 0; c < 3; ++c) px[c] = 0.8f * texture(x, y, seed, c) + 0.2f * hash(x, y, seed + c);
      // Opaque at the top, a ramp to transparent below, and a transparent hole.
      const float ramp = std::clamp(1.5f - 1.5f * float(y) / float(height), 0.0f, 1.0f);
      const bool hole = std::abs(x - width / 3) < width / 10 && std::abs(y - height / 2) < height / 8;
      px[3] = hole ? 0.0f : ramp;
      image.set(x, y, px);
    }
  }
  return image;
}

host::Image solidFrame(int32_t width, int32_t height, int32_t depth, const float rgba[4]) {
  host::Image image(width, height, depth);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) image.set(x, y, rgba);
  return image;
}

host::Image movingSquareFrame(int32_t width, int32_t height, int32_t depth, int32_t t, int32_t dx,
                              int32_t dy) {
  host::Image image(width, height, depth);
  const int32_t side = std::min(width, height) / 3;
  const int32_t x0 = width / 3 + dx * t, y0 = height / 3 + dy * t;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const bool inside = x >= x0 && x < x0 + side && y >= y0 && y < y0 + side;
      float px[4] = {0, 0, 0, 1};
      for (int c = 0; c < 3; ++c) {
        px[c] = inside ? 0.2f + 0.8f * texture(x - x0, y - y0, 91, c)
                       : 0.6f * texture(x, y, 17, c);
      }
      image.set(x, y, px);
    }
  }
  return image;
}

host::Image crop(const host::Image& image, const Rect& placed, const Rect& r) {
  host::Image out(int32_t(width(r)), int32_t(height(r)), image.depth());
  const int32_t bytes = host::pixelBytesOf(image.depth());
  for (int32_t y = 0; y < out.height(); ++y) {
    std::memcpy(out.row(y),
                image.row(r.top - placed.top + y) + int64_t(r.left - placed.left) * bytes,
                size_t(out.width()) * bytes);
  }
  return out;
}

void setParams(host::HeadlessHost& host, const ParamTexts& params) {
  for (const auto& [name, text] : params) {
    std::string error;
    EXPECT_TRUE(host.setParam(name, text, &error)) << name << " = " << text << ": " << error;
  }
}

RenderSettings frameSettings(int32_t depth, double downsampleX, double downsampleY,
                             double pixelAspect, const Rect& layer) {
  RenderSettings s;
  s.downsampleX = downsampleX;
  s.downsampleY = downsampleY;
  s.pixelAspect = pixelAspect;
  s.bitDepth = depth;
  s.lowBitDepth = depth < 32;
  s.inputBounds = layer;
  s.layerBounds = layer;
  return s;
}

host::Image engineRender(const RenderSettings& s, const PlacedFrame& input, const PlacedFrame* map,
                         const Rect& mapBounds, const Rect& outRect, int32_t depth) {
  Engine engine;
  const PlacedImage in = engine.place(&input);
  MapImage mapImage;
  PlacedImage mapPixels = engine.place(map);
  if (map) {
    mapImage.buffer = mapPixels.buffer;
    mapImage.rect = mapPixels.rect;
    mapImage.bounds = mapBounds;
  }
  const double scale[3] = {s.downsampleX, s.downsampleY, s.pixelAspect};
  Buffer out;
  std::string message;
  if (!render(engine.backend(), s, scale, in, s.inputBounds, s.layerBounds,
              map ? &mapImage : nullptr, outRect, out, &message)) {
    ADD_FAILURE() << "the engine failed: " << message;
    return host::Image();
  }
  host::Image image = engine.exportTo(out, depth);
  engine.backend().freeImage(out);
  return image;
}

host::Image engineTracked(const RenderSettings& s, const PlacedFrame& current,
                          const PlacedFrame* previous, const PlacedFrame* next,
                          const PlacedFrame* matte, const Rect& outRect, int32_t depth) {
  Engine engine;
  TrackedFrames frames;
  frames.current = engine.place(&current);
  const PlacedImage prev = engine.place(previous), nxt = engine.place(next),
                    mat = engine.place(matte);
  frames.previous = previous ? &prev : nullptr;
  frames.next = next ? &nxt : nullptr;
  frames.matte = matte ? &mat : nullptr;
  Buffer out;
  std::string message;
  const bool ok = renderTrackedMotion(engine.backend(), s, frames, outRect, out, &message);
  host::Image image;
  if (ok) {
    image = engine.exportTo(out, depth);
  } else {
    ADD_FAILURE() << "the tracked engine failed: " << message;
  }
  engine.backend().freeImage(out);
  return image;
}

std::string difference(const host::Image& a, const host::Image& b, double tolerance) {
  if (a.width() != b.width() || a.height() != b.height() || a.depth() != b.depth()) {
    std::ostringstream text;
    text << "sizes " << a.width() << "x" << a.height() << "/" << a.depth() << " and "
         << b.width() << "x" << b.height() << "/" << b.depth();
    return text.str();
  }
  const double full = a.depth() == 8 ? 255.0 : a.depth() == 16 ? 32768.0 : 0.0;
  for (int32_t y = 0; y < a.height(); ++y) {
    for (int32_t x = 0; x < a.width(); ++x) {
      float pa[4], pb[4];
      a.get(x, y, pa);
      b.get(x, y, pb);
      for (int c = 0; c < 4; ++c) {
        const bool same =
            full > 0         ? std::abs(double(pa[c]) - pb[c]) * full <= tolerance + 1e-3
            : tolerance > 0  ? std::abs(double(pa[c]) - pb[c]) <= tolerance
                             : std::memcmp(&pa[c], &pb[c], sizeof(float)) == 0;
        if (!same) {
          std::ostringstream text;
          text << "pixel (" << x << ", " << y << ") channel " << c << ": " << pa[c] << " vs "
               << pb[c];
          return text.str();
        }
      }
    }
  }
  return "";
}

std::unique_ptr<host::HeadlessHost> hostWithLayer(std::shared_ptr<const host::Layer> layer,
                                                  host::HostProfile profile) {
  profile.privateModuleCopy = true;
  std::string error;
  std::unique_ptr<host::HeadlessHost> h = host::HeadlessHost::open(FM_MODULE_PATH, profile, &error);
  EXPECT_TRUE(h) << error;
  if (h) {
    EXPECT_TRUE(h->attachLayer(0, std::move(layer), &error)) << error;
  }
  return h;
}

Rendered renderThroughModule(host::HeadlessHost& host, const host::FrameRequest& request) {
  Rendered r;
  r.report = host.renderFrame(request, &r.image);
  EXPECT_TRUE(host.stats().faults.empty()) << host.stats().faults.front();
  return r;
}

std::vector<host::CheckoutRecord> checkoutsWithId(const host::FrameReport& report, int32_t id) {
  std::vector<host::CheckoutRecord> found;
  for (const host::CheckoutRecord& c : report.checkouts) {
    if (c.checkoutId == id) found.push_back(c);
  }
  return found;
}

}  // namespace fm::test
