#include "cli/DemoCommand.h"

#include <cstdio>
#include <filesystem>
#include <map>
#include <vector>

#include "cli/BitmapFont.h"
#include "cli/DemoScene.h"
#include "cli/Module.h"
#include "cli/OutputFiles.h"
#include "cli/ParamSetup.h"

namespace fm::cli {
namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 384, kHeight = 216;  // each picture
constexpr int kDepth = 16;                   // Motion Vectors then come out as viewable colours
constexpr int kShotFrames = 2;               // the moving shot runs from -2 to 2; frame 0 is shown
constexpr int kColumns = 4;

// One picture of the sheet: the scene it shows and, unless it shows the scene itself, the
// kind and the settings it goes through, as a user would give them to fogmill render.
struct Tile {
  const char* title;
  const char* file;
  bool moving;
  const char* blur;
  std::vector<std::string> sets, layers;
};

const std::vector<Tile>& tiles() {
  static const std::vector<Tile> all = {
      {"Test card", "test-card", false, nullptr, {}, {}},
      {"Vector Blur", "vector-blur", false, "vector", {"Amount=15", "Map Softness=4"}, {"Vector Map=flow"}},
      {"Gaussian Blur", "gaussian-blur", false, "gaussian", {"Blurriness=6"}, {}},
      {"Box Blur", "box-blur", false, "box", {"Blur Radius=6", "Iterations=1"}, {}},
      {"Camera Lens Blur", "camera-lens-blur", false, "lens",
       {"Blur Radius=9", "Shape=Hexagon", "Gain=40", "Threshold=0.95"}, {}},
      {"Lens Blur with a depth map", "camera-lens-blur-depth", false, "lens",
       {"Blur Radius=12", "Gain=40", "Threshold=0.95"}, {"Layer=depth"}},
      {"Radial Blur: spin", "radial-blur-spin", false, "radial", {"Type=Spin", "Amount=6"}, {}},
      {"Radial Blur: zoom", "radial-blur-zoom", false, "radial", {"Type=Zoom", "Amount=25"}, {}},
      {"Directional Motion Blur", "directional-motion-blur", false, "motion",
       {"Motion Blur Type=Directional Blur", "Direction=30", "Blur Length=20"}, {}},
      {"Moving objects", "moving-objects", true, nullptr, {}, {}},
      {"Tracked Motion Blur", "tracked-motion-blur", true, "motion",
       {"Motion Blur Type=Tracked Motion Blur", "Blur Amount=2"}, {}},
      {"Motion Vectors", "motion-vectors", true, "motion",
       {"Motion Blur Type=Tracked Motion Blur", "Output=Motion Vectors", "Max Displacement=16"}, {}},
  };
  return all;
}

OutputLayout layoutOf(int channels, OIIO::TypeDesc type) {
  OutputLayout layout;
  layout.spec = OIIO::ImageSpec(1, 1, channels, type);
  layout.spec.attribute("Software", "Fogmill demo");
  return layout;
}

// The tile's picture through the module; false with the reason.
bool renderTile(const Tile& tile, const std::string& module, int threads, host::Image* out,
                std::string* error) {
  if (!tile.blur) {
    *out = tile.moving ? movingFrame(kWidth, kHeight, kDepth, 0) : testCard(kWidth, kHeight, kDepth);
    return true;
  }
  host::HostProfile profile;
  profile.iterateThreads = threads;
  std::unique_ptr<host::HeadlessHost> host = openModule(module, profile, error);
  if (!host) return false;
  std::shared_ptr<const host::Layer> layer;
  if (tile.moving) {
    std::map<int32_t, host::Image> shot;
    for (int t = -kShotFrames; t <= kShotFrames; ++t) shot[t] = movingFrame(kWidth, kHeight, kDepth, t);
    layer = host::Layer::sequence(std::move(shot));
  } else {
    layer = host::Layer::still(testCard(kWidth, kHeight, kDepth));
  }
  if (!host->attachLayer(0, layer, error)) return false;
  // Layer "files" of the demo are generated pictures, named as --layer would name files.
  const LayerOpener generated = [](const std::string& name, std::string* e) -> std::shared_ptr<const host::Layer> {
    if (name == "flow") return host::Layer::still(flowMap(kWidth, kHeight, kDepth));
    if (name == "depth") return host::Layer::still(depthRamp(kWidth, kHeight, kDepth));
    *e = "no generated layer \"" + name + "\"";
    return nullptr;
  };
  if (!applySettings(*host, ParamSettings{tile.blur, tile.sets, tile.layers}, generated, error)) {
    return false;
  }
  host::FrameRequest request;
  request.depth = kDepth;
  const PF_Rect whole{0, 0, kWidth, kHeight};
  *out = host::Image(kWidth, kHeight, kDepth);
  const host::FrameReport report = host->renderFrame(request, [&](const PF_Rect&) {
    return host::OutputTarget{out->row(0), out->rowBytes(), whole};
  });
  if (!report.ok()) *error = report.message;
  return report.ok();
}

void paste(host::Image* sheet, const host::Image& picture, int left, int top) {
  float px[4];
  for (int y = 0; y < picture.height(); ++y) {
    for (int x = 0; x < picture.width(); ++x) {
      picture.get(x, y, px);
      sheet->set(left + x, top + y, px);
    }
  }
}

}  // namespace

int runDemo(const std::string& folder, int threads, const std::string& module) {
  const auto fail = [](const std::string& why) {
    std::fprintf(stderr, "fogmill: demo: %s\n", why.c_str());
    return 1;
  };
  std::error_code ec;
  const fs::path frames = fs::path(folder) / "frames";
  fs::create_directories(frames, ec);
  if (ec) return fail("cannot make " + frames.string() + ": " + ec.message());

  std::string error;
  for (int t = -kShotFrames; t <= kShotFrames; ++t) {
    const std::string path = (frames / ("moving." + std::to_string(t + kShotFrames + 1) + ".png")).string();
    if (!writeFileSafely(path, movingFrame(kWidth, kHeight, kDepth, t), layoutOf(3, OIIO::TypeDesc::UINT16), &error)) {
      return fail(error);
    }
  }

  constexpr int margin = 12, labelScale = 2, label = 7 * labelScale + 10, titleScale = 3,
                heading = 7 * titleScale + 2 * margin;
  const int rows = int((tiles().size() + kColumns - 1) / kColumns);
  host::Image sheet(kColumns * kWidth + (kColumns + 1) * margin,
                    heading + rows * (label + kHeight + margin), 32);
  const float ground[4] = {0.11f, 0.11f, 0.12f, 1}, ink[4] = {0.95f, 0.95f, 0.95f, 1};
  for (int y = 0; y < sheet.height(); ++y) {
    for (int x = 0; x < sheet.width(); ++x) sheet.set(x, y, ground);
  }
  drawText(&sheet, margin, margin, "Fogmill: every blur kind", titleScale, ink);

  for (size_t i = 0; i < tiles().size(); ++i) {
    const Tile& tile = tiles()[i];
    host::Image picture;
    if (!renderTile(tile, module, threads, &picture, &error)) return fail(std::string(tile.title) + ": " + error);
    const std::string path = (frames / (std::string(tile.file) + ".png")).string();
    if (!writeFileSafely(path, picture, layoutOf(3, OIIO::TypeDesc::UINT16), &error)) return fail(error);
    const int left = margin + int(i % kColumns) * (kWidth + margin);
    const int top = heading + int(i / kColumns) * (label + kHeight + margin);
    drawText(&sheet, left, top + 2, tile.title, labelScale, ink);
    paste(&sheet, picture, left, top + label);
  }
  const fs::path sheetPath = fs::absolute(fs::path(folder) / "contact-sheet.png", ec);
  if (!writeFileSafely(sheetPath.string(), sheet, layoutOf(3, OIIO::TypeDesc::UINT8), &error)) {
    return fail(error);
  }
  std::printf("%s\n", sheetPath.lexically_normal().string().c_str());
  return 0;
}

}  // namespace fm::cli
