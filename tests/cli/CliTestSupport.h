// The fogmill tests run the built program on files they write, and check what it writes
// against the headless host's own renders: pixels move between files and worlds here by the
// rules the tool documents, written out again so that a slip in the tool cannot hide.
#pragma once

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/HeadlessHost.h"

namespace fm::test {

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// fogmill run to its end: the exit status and everything it printed.
struct Ran {
  int status = -1;
  std::string output;
};
Ran fogmill(const std::vector<std::string>& args);

// fogmill started in the background, its standard error readable line by line.
class Background {
 public:
  explicit Background(const std::vector<std::string>& args);
  ~Background();
  // The next line it printed; false at its end.
  bool readLine(std::string* line);
  void signal(int number);
  // Its exit status, or 128 + the signal that ended it.
  int wait();

 private:
  int pid_ = -1, fd_ = -1;
  std::string pending_;
};

// A fresh folder, removed with everything in it afterwards.
class Scratch {
 public:
  Scratch();
  ~Scratch();
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Names of the files in it, hidden ones included.
  std::vector<std::string> files() const;

 private:
  std::string path_;
};

// A file's pixels as stored: integer files in their code values (0..255, 0..65535), float
// files as floats; straight-alpha files are not premultiplied on the way.
struct FilePixels {
  OIIO::ImageSpec spec;
  std::vector<double> values;  // interleaved channels
  double at(int x, int y, int c) const {
    return values[(size_t(y) * spec.width + x) * spec.nchannels + c];
  }
};
FilePixels readPixels(const std::string& path);

// Writes a world as a file of `type` holding RGB or RGBA (premultiplied when asked), with
// header attributes from `extra`.
void writeWorld(const std::string& path, const host::Image& world, OIIO::TypeDesc type,
                int channels, bool premultiplied, const OIIO::ImageSpec* extra = nullptr);

// What the tool should make of a file: the world of a depth.
host::Image worldOf(const FilePixels& file, int depth);
// What the tool should write for a world: file values of the file's type.
std::vector<double> fileValuesOf(const host::Image& world, OIIO::TypeDesc type, int channels,
                                 bool premultiplied);

// Test pictures: textured straight colour with alpha from 0.2 to 1 (or opaque), at a depth.
host::Image testWorld(int width, int height, int depth, uint32_t seed, bool opaque = false);

// The largest difference between file values and expected ones, "" when within tolerance;
// otherwise where and what.
std::string compareValues(const FilePixels& file, const std::vector<double>& expected,
                          double tolerance);

// The module in a headless host with a layer, and a frame of a width x height layer through it
// as fogmill renders one: into the layer's rectangle (the whole result when expand), at a time
// and downsampling.
std::unique_ptr<host::HeadlessHost> moduleWith(std::shared_ptr<const host::Layer> layer,
                                               const std::vector<std::pair<std::string, std::string>>& params);
host::Image renderLikeTheTool(host::HeadlessHost& host, int width, int height, int depth,
                              int32_t time = 1, int proxy = 1, bool expand = false,
                              PF_Rect* placed = nullptr);

}  // namespace fm::test
