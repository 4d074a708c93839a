// The header of an output file: its channels and type, where its pixels lie, and the input's
// metadata that carries over.
#pragma once

#include <OpenImageIO/imageio.h>

#include <string>

#include "cli/ImageFile.h"
#include "host/EffectInterface.h"

namespace fm::cli {

struct OutputFormat {
  std::string name;            // OpenImageIO's format name
  bool displayWindow = false;  // keeps a data window apart from the display window (EXR)
  OIIO::TypeDesc type;         // channel type asked for
  int channels = 4;            // RGB or RGBA
  std::string compression;     // as oiiotool names it: "zip:6", "piz", "dwaa:45", "lzw", "none"
};

// Sets a header's compression: the one asked for, else a fast default where the format's own
// would keep writing from keeping up with rendering (PNG: zlib level 1, one row filter).
void setCompression(const std::string& formatName, const std::string& compression,
                    OIIO::ImageSpec* spec);

// The writer's view of a path: false with the reason when no format writes such files.
bool outputFormatFor(const std::string& path, OutputFormat* format, std::string* error);

// The layout of one frame. `header` is the input file's; `pixels` the rectangle the image
// covers in layer pixels at the render's downsampling; `input` the input at that downsampling
// (its data and display windows); `software` names the writer.
OutputLayout outputLayout(const OutputFormat& format, const OIIO::ImageSpec& header,
                          const std::string& inputFormat, const PF_Rect& pixels,
                          const FileInfo& input, int proxy, const std::string& software);

}  // namespace fm::cli
