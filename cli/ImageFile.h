// Image files through OpenImageIO, as worlds of the headless host: reading a frame into an image
// of 8-, 16- or 32-bit channels, and writing one back, with the files' own conventions for
// alpha, channel order and value ranges.
#pragma once

#include <OpenImageIO/imageio.h>

#include <memory>
#include <mutex>
#include <string>

#include "host/Image.h"

namespace fm::cli {

// What a file holds besides its pixels.
struct FileInfo {
  std::string path;
  std::string formatName;  // OpenImageIO's name of the format: "png", "openexr", ...
  int width = 0, height = 0;  // the stored pixels (an EXR's data window)
  int x = 0, y = 0;           // and their place
  int fullX = 0, fullY = 0, fullWidth = 0, fullHeight = 0;  // the display window
  int channels = 0;
  bool hasAlpha = false;
  bool straightAlpha = false;  // colour stored un-premultiplied, as in PNG
  OIIO::TypeDesc type;         // of a channel in the file
  bool movie = false;
  int frames = 1;              // a movie's frames
  double pixelAspect = 1;
  int fpsNum = 0, fpsDen = 0;  // 0: the file does not say
  OIIO::ImageSpec spec;        // the header: metadata to carry over
};

// The depth of the worlds a file's channels render in: 8 or 16 bits for those integer types,
// else 32-bit float.
int depthOf(OIIO::TypeDesc type);

// A file open for reading; one frame at a time, from any thread.
class ImageFile {
 public:
  // False with the reason when the file is missing or no image OpenImageIO can read.
  bool open(const std::string& path, std::string* error);
  const FileInfo& info() const { return info_; }

  // A frame (a movie's frames count from 0; other files have frame 0 only) at a depth:
  // straight colour, premultiplied files divided by their alpha, no alpha read as opaque, grey
  // spread over red, green and blue. 16-bit worlds hold 0..32768 for the file's 0..65535.
  bool read(int frame, int depth, host::Image* image, std::string* error);

 private:
  std::unique_ptr<OIIO::ImageInput> input_;
  std::mutex mutex_;
  FileInfo info_;
};

// How a frame goes into a file.
struct OutputLayout {
  OIIO::ImageSpec spec;  // size, place, display window, channel type, metadata; RGB or RGBA
  bool premultiply = false;
};

// Writes an image of a depth (as the host renders it) to path through a writer for the format
// that formatPath's name asks for (path may be a temporary name). False with the reason.
bool writeImage(const std::string& path, const std::string& formatPath, const host::Image& image,
                const OutputLayout& layout, std::string* error);

// Whether files of this format store colour premultiplied by alpha (OpenEXR) rather than
// straight (PNG, TIFF and most others).
bool storesPremultiplied(const std::string& formatName);

// OpenImageIO's name of the format that writes files named like path; "" when none does.
std::string outputFormatOf(const std::string& path);

}  // namespace fm::cli
