#include "cli/OutputSpec.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cmath>

namespace fm::cli {
namespace {

int scaled(int v, int proxy) { return int(std::floor(double(v) / proxy)); }
int scaledSize(int v, int proxy) { return std::max(1, int(std::ceil(double(v) / proxy - 1e-6))); }

// Metadata named "format:..." belongs to the format that wrote it, and means something only to
// a writer of the same format; the generic names and the shared namespaces carry over.
bool carries(const std::string& name, const std::string& from, const std::string& to) {
  if (name == "oiio:ColorSpace" || name == "oiio:Gamma") return true;
  const size_t colon = name.find(':');
  if (colon != std::string::npos) {
    const std::string space = name.substr(0, colon);
    if (space == "oiio" || space == "ffmpeg") return false;
    if (space == "smpte" || space == "Exif" || space == "GPS" || space == "IPTC" || space == "XMP" ||
        space == "ICCProfile") {
      return true;
    }
    return from == to;
  }
  if (name == "compression" || name == "CompressionQuality" || name == "planarconfig") {
    return from == to;
  }
  return true;
}

}  // namespace

void setCompression(const std::string& formatName, const std::string& compression,
                    OIIO::ImageSpec* spec) {
  if (formatName == "png") {
    // The PNG writer takes its zlib level from an attribute of its own, not from "compression".
    const size_t colon = compression.find(':');
    const int level = colon == std::string::npos ? 1 : std::atoi(compression.c_str() + colon + 1);
    spec->attribute("png:compressionLevel", std::clamp(level, 0, 9));
    if (compression.empty()) spec->attribute("png:filter", 16);  // "Sub": cheap and nearly as small
    return;
  }
  if (!compression.empty()) spec->attribute("compression", compression);
}

bool outputFormatFor(const std::string& path, OutputFormat* format, std::string* error) {
  std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create(path);
  if (!out) {
    OIIO::geterror();
    const size_t dot = path.find_last_of('.');
    const std::string ext = dot == std::string::npos ? "" : path.substr(dot);
    if (error) {
      *error = "cannot write " + path + ": no image format writes " +
               (ext.empty() ? "files without an extension" : ext + " files") +
               " (movies are read only: write an image sequence such as out.####.png, and encode "
               "it with ffmpeg if a movie is wanted)";
    }
    return false;
  }
  format->name = out->format_name();
  format->displayWindow = out->supports("displaywindow");
  return true;
}

OutputLayout outputLayout(const OutputFormat& format, const OIIO::ImageSpec& header,
                          const std::string& inputFormat, const PF_Rect& pixels,
                          const FileInfo& input, int proxy, const std::string& software) {
  OutputLayout layout;
  OIIO::ImageSpec& spec = layout.spec;
  spec = OIIO::ImageSpec(pixels.right - pixels.left, pixels.bottom - pixels.top, format.channels,
                         format.type);
  if (format.channels == 4) spec.alpha_channel = 3;
  for (const OIIO::ParamValue& p : header.extra_attribs) {
    if (carries(p.name().string(), inputFormat, format.name)) spec.extra_attribs.push_back(p);
  }
  spec.attribute("Software", software);
  setCompression(format.name, format.compression, &spec);
  const int originX = scaled(input.x, proxy), originY = scaled(input.y, proxy);
  if (format.displayWindow) {
    spec.x = originX + pixels.left;
    spec.y = originY + pixels.top;
    spec.full_x = scaled(input.fullX, proxy);
    spec.full_y = scaled(input.fullY, proxy);
    spec.full_width = scaledSize(input.fullWidth, proxy);
    spec.full_height = scaledSize(input.fullHeight, proxy);
  }
  layout.premultiply = storesPremultiplied(format.name) && format.channels == 4;
  return layout;
}

}  // namespace fm::cli
