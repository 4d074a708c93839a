#include "cli/ImageFile.h"

#include <OpenImageIO/filesystem.h>

#include <cmath>
#include <filesystem>
#include <vector>

#include "cli/Pixels.h"

namespace fm::cli {
namespace {

std::string oiioError(const std::string& text) {
  std::string t = text.empty() ? OIIO::geterror() : text;
  while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.pop_back();
  return t.empty() ? "unknown error" : t;
}

// The channel type a file is read as: the world's own integer type where the file's fits it
// and nothing needs dividing by alpha, float otherwise.
OIIO::TypeDesc readTypeFor(const FileInfo& info, int depth) {
  const bool integerFile = info.type.basetype == OIIO::TypeDesc::UINT8 ||
                           info.type.basetype == OIIO::TypeDesc::UINT16;
  const bool unpremultiply = info.hasAlpha && !info.straightAlpha;
  if (!integerFile || unpremultiply || depth == 32) return OIIO::TypeDesc::FLOAT;
  return depth == 8 ? OIIO::TypeDesc::UINT8 : OIIO::TypeDesc::UINT16;
}

}  // namespace

int depthOf(OIIO::TypeDesc type) {
  return type.basetype == OIIO::TypeDesc::UINT8    ? 8
         : type.basetype == OIIO::TypeDesc::UINT16 ? 16
                                                   : 32;
}

bool storesPremultiplied(const std::string& formatName) { return formatName == "openexr"; }

std::string outputFormatOf(const std::string& path) {
  std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create(path);
  if (!out) {
    OIIO::geterror();  // taken, so it does not turn up in a later message
    return "";
  }
  return out->format_name();
}

bool ImageFile::open(const std::string& path, std::string* error) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    if (error) *error = path + ": no such file";
    return false;
  }
  // Straight-alpha files stay straight; OpenImageIO would premultiply them otherwise.
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  input_ = OIIO::ImageInput::open(path, &config);
  if (!input_) {
    if (error) *error = path + ": " + oiioError("");
    return false;
  }
  const OIIO::ImageSpec& spec = input_->spec();
  if (spec.width <= 0 || spec.height <= 0 || spec.nchannels <= 0 || spec.depth > 1) {
    if (error) *error = path + ": not a two-dimensional image";
    return false;
  }
  FileInfo& i = info_;
  i.path = path;
  i.formatName = input_->format_name();
  i.width = spec.width;
  i.height = spec.height;
  i.x = spec.x;
  i.y = spec.y;
  i.fullX = spec.full_x;
  i.fullY = spec.full_y;
  i.fullWidth = spec.full_width;
  i.fullHeight = spec.full_height;
  i.channels = spec.nchannels;
  i.hasAlpha = channelMapOf(spec).a >= 0;
  i.straightAlpha = spec.get_int_attribute("oiio:UnassociatedAlpha", 0) != 0;
  i.type = spec.format;
  i.movie = spec.get_int_attribute("oiio:Movie", 0) != 0;
  i.frames = i.movie ? std::max(1, spec.get_int_attribute("oiio:subimages", 1)) : 1;
  const float aspect = spec.get_float_attribute("PixelAspectRatio", 1.0f);
  i.pixelAspect = std::isfinite(aspect) && aspect > 0 ? aspect : 1.0;
  int fps[2] = {0, 0};
  if (spec.getattribute("FramesPerSecond", OIIO::TypeRational, fps) && fps[0] > 0 && fps[1] > 0) {
    i.fpsNum = fps[0];
    i.fpsDen = fps[1];
  }
  i.spec = spec;
  return true;
}

bool ImageFile::read(int frame, int depth, host::Image* image, std::string* error) {
  const FileInfo& i = info_;
  const OIIO::TypeDesc type = readTypeFor(i, depth);
  std::vector<unsigned char> pixels(size_t(i.width) * i.height * i.channels * type.size());
  bool ok;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ok = input_->read_image(frame, 0, 0, i.channels, type, pixels.data());
    if (!ok && error) {
      *error = i.path + (i.movie ? " frame " + std::to_string(frame + 1) : "") + ": " +
               oiioError(input_->geterror());
    }
  }
  if (!ok) return false;
  *image = host::Image(i.width, i.height, depth);
  toWorld(pixels.data(), type, channelMapOf(i.spec), i.hasAlpha && !i.straightAlpha, image);
  return true;
}

bool writeImage(const std::string& path, const std::string& formatPath, const host::Image& image,
                const OutputLayout& layout, std::string* error) {
  const auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create(formatPath);
  if (!out) return fail(formatPath + ": " + oiioError(""));
  OIIO::ImageSpec spec = layout.spec;
  spec.width = image.width();
  spec.height = image.height();
  const bool straight = !layout.premultiply;
  if (straight) spec.attribute("oiio:UnassociatedAlpha", 1);
  // Integer worlds go out as the same integers where the file keeps them; everything else
  // passes through float and the writer's own quantisation.
  const int depth = image.depth();
  const OIIO::TypeDesc fileType = spec.format;
  OIIO::TypeDesc type = OIIO::TypeDesc::FLOAT;
  if (!layout.premultiply && depth == 8 && fileType == OIIO::TypeDesc::UINT8) {
    type = OIIO::TypeDesc::UINT8;
  } else if (!layout.premultiply && depth == 16 && fileType == OIIO::TypeDesc::UINT16) {
    type = OIIO::TypeDesc::UINT16;
  }
  std::vector<unsigned char> pixels(size_t(spec.width) * spec.height * spec.nchannels * type.size());
  fromWorld(image, spec.nchannels, layout.premultiply, type, pixels.data());
  if (!out->open(path, spec)) return fail(path + ": " + oiioError(out->geterror()));
  const bool written = out->write_image(type, pixels.data());
  const std::string writeError = written ? "" : oiioError(out->geterror());
  if (!out->close() && written) return fail(path + ": " + oiioError(out->geterror()));
  if (!written) return fail(path + ": " + writeError);
  return true;
}

}  // namespace fm::cli
