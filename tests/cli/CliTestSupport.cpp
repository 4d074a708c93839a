#include "tests/cli/CliTestSupport.h"

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>

extern char** environ;

namespace fm::test {
namespace {

int exitStatus(int raw) {
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
}

// fogmill with its output and errors on one pipe; the reading end in *fd.
int spawn(const std::vector<std::string>& args, int* fd) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  std::vector<std::string> all{FM_FOGMILL_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, FM_FOGMILL_PATH, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  *fd = pipeFds[0];
  return pid;
}

template <class T>
void readAs(OIIO::ImageInput& in, OIIO::TypeDesc type, std::vector<double>* out) {
  const OIIO::ImageSpec& s = in.spec();
  std::vector<T> raw(size_t(s.width) * s.height * s.nchannels);
  EXPECT_TRUE(in.read_image(0, 0, 0, s.nchannels, type, raw.data())) << in.geterror();
  out->assign(raw.begin(), raw.end());
}

float hashUnit(uint32_t n) {
  n = (n ^ 61u) ^ (n >> 16);
  n *= 9u;
  n ^= n >> 4;
  n *= 0x27d4eb2du;
  n ^= n >> 15;
  return float(n & 0xFFFF) / 65535.0f;
}

double codeOf(float v, double full) { return std::floor(double(std::clamp(v, 0.0f, 1.0f)) * full + 0.5); }

}  // namespace

Ran fogmill(const std::vector<std::string>& args) {
  Ran run;
  int fd = -1;
  const int pid = spawn(args, &fd);
  EXPECT_GT(pid, 0) << "cannot start " << FM_FOGMILL_PATH;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof(buffer))) > 0;) run.output.append(buffer, size_t(n));
  close(fd);
  int raw = 0;
  if (pid > 0 && waitpid(pid, &raw, 0) == pid) run.status = exitStatus(raw);
  return run;
}

Background::Background(const std::vector<std::string>& args) { pid_ = spawn(args, &fd_); }

Background::~Background() {
  if (fd_ >= 0) close(fd_);
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool Background::readLine(std::string* line) {
  while (true) {
    const size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      *line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return true;
    }
    char buffer[512];
    const ssize_t n = read(fd_, buffer, sizeof(buffer));
    if (n <= 0) return false;
    pending_.append(buffer, size_t(n));
  }
}

void Background::signal(int number) { kill(pid_, number); }

int Background::wait() {
  std::string rest;
  while (readLine(&rest)) {
  }
  int raw = 0;
  const int status = waitpid(pid_, &raw, 0) == pid_ ? exitStatus(raw) : -1;
  pid_ = -1;
  return status;
}

Scratch::Scratch() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/fm-cli-XXXXXX";
  if (mkdtemp(pattern.data())) path_ = pattern;
  EXPECT_FALSE(path_.empty());
}

Scratch::~Scratch() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
  std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> Scratch::files() const {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(path_)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

FilePixels readPixels(const std::string& path) {
  FilePixels file;
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  std::unique_ptr<OIIO::ImageInput> in = OIIO::ImageInput::open(path, &config);
  EXPECT_TRUE(in) << path << ": " << OIIO::geterror();
  if (!in) return file;
  file.spec = in->spec();
  const auto base = file.spec.format.basetype;
  if (base == OIIO::TypeDesc::UINT8) {
    readAs<uint8_t>(*in, OIIO::TypeDesc::UINT8, &file.values);
  } else if (base == OIIO::TypeDesc::UINT16) {
    readAs<uint16_t>(*in, OIIO::TypeDesc::UINT16, &file.values);
  } else {
    readAs<float>(*in, OIIO::TypeDesc::FLOAT, &file.values);
  }
  return file;
}

std::vector<double> fileValuesOf(const host::Image& world, OIIO::TypeDesc type, int channels,
                                 bool premultiplied) {
  std::vector<double> values;
  const bool integer = type == OIIO::TypeDesc::UINT8 || type == OIIO::TypeDesc::UINT16;
  for (int y = 0; y < world.height(); ++y) {
    for (int x = 0; x < world.width(); ++x) {
      float rgba[4];
      world.get(x, y, rgba);
      if (world.depth() == 16 && type == OIIO::TypeDesc::UINT16) {
        // 0..32768 in the world is 0..65535 in the file, rounded.
        for (int c = 0; c < channels; ++c) {
          values.push_back(std::floor(std::round(rgba[c] * 32768.0) * 65535.0 / 32768.0 + 0.5));
        }
        continue;
      }
      for (int c = 0; c < channels; ++c) {
        const float v = premultiplied && c < 3 && channels == 4 ? rgba[c] * rgba[3] : rgba[c];
        values.push_back(!integer ? double(v) : codeOf(v, type == OIIO::TypeDesc::UINT8 ? 255 : 65535));
      }
    }
  }
  return values;
}

void writeWorld(const std::string& path, const host::Image& world, OIIO::TypeDesc type,
                int channels, bool premultiplied, const OIIO::ImageSpec* extra) {
  OIIO::ImageSpec spec(world.width(), world.height(), channels, type);
  if (extra) {
    for (const OIIO::ParamValue& p : extra->extra_attribs) spec.extra_attribs.push_back(p);
    spec.x = extra->x;
    spec.y = extra->y;
    spec.full_x = extra->full_x;
    spec.full_y = extra->full_y;
    spec.full_width = extra->full_width;
    spec.full_height = extra->full_height;
  }
  if (!premultiplied) spec.attribute("oiio:UnassociatedAlpha", 1);
  const std::vector<double> values = fileValuesOf(world, type, channels, premultiplied);
  std::unique_ptr<OIIO::ImageOutput> out = OIIO::ImageOutput::create(path);
  ASSERT_TRUE(out && out->open(path, spec)) << path << ": " << OIIO::geterror();
  bool written;
  if (type == OIIO::TypeDesc::UINT8) {
    const std::vector<uint8_t> codes(values.begin(), values.end());
    written = out->write_image(type, codes.data());
  } else if (type == OIIO::TypeDesc::UINT16) {
    const std::vector<uint16_t> codes(values.begin(), values.end());
    written = out->write_image(type, codes.data());
  } else {
    const std::vector<float> floats(values.begin(), values.end());
    written = out->write_image(OIIO::TypeDesc::FLOAT, floats.data());
  }
  ASSERT_TRUE(written && out->close()) << out->geterror();
}

host::Image worldOf(const FilePixels& file, int depth) {
  const OIIO::ImageSpec& s = file.spec;
  host::Image world(s.width, s.height, depth);
  const int n = s.nchannels;
  const bool straight = s.get_int_attribute("oiio:UnassociatedAlpha", 0) != 0;
  const auto base = s.format.basetype;
  const bool integer = base == OIIO::TypeDesc::UINT8 || base == OIIO::TypeDesc::UINT16;
  const double full = !integer ? 1.0 : base == OIIO::TypeDesc::UINT8 ? 255 : 65535;
  for (int y = 0; y < s.height; ++y) {
    for (int x = 0; x < s.width; ++x) {
      // Grey files spread their one channel over red, green and blue; no alpha is opaque.
      double v[4];
      for (int c = 0; c < 3; ++c) v[c] = file.at(x, y, n < 3 ? 0 : c);
      v[3] = n == 2 || n == 4 ? file.at(x, y, n - 1) : full;
      float rgba[4];
      for (int c = 0; c < 4; ++c) {
        // 16-bit files meet 16-bit worlds in codes: 0..65535 onto 0..32768, rounded.
        rgba[c] = depth == 16 && base == OIIO::TypeDesc::UINT16
                      ? float(std::floor(v[c] * 32768.0 / 65535.0 + 0.5) / 32768.0)
                      : float(v[c] / full);
      }
      if (!integer && n == 4 && !straight) {
        for (int c = 0; c < 3; ++c) rgba[c] = rgba[3] > 0 ? rgba[c] / rgba[3] : 0.0f;
      }
      world.set(x, y, rgba);
    }
  }
  return world;
}

host::Image testWorld(int width, int height, int depth, uint32_t seed, bool opaque) {
  host::Image world(width, height, depth);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const uint32_t i = uint32_t(y * width + x) * 4 + seed * 7919;
      const float rgba[4] = {hashUnit(i), 0.5f * hashUnit(i + 1) + 0.5f * x / width,
                             0.5f * hashUnit(i + 2) + 0.5f * y / height,
                             opaque ? 1.0f : 0.2f + 0.8f * float(x + y) / float(width + height)};
      world.set(x, y, rgba);
    }
  }
  return world;
}

std::string compareValues(const FilePixels& file, const std::vector<double>& expected,
                          double tolerance) {
  if (file.values.size() != expected.size()) {
    return std::to_string(file.values.size()) + " values where " + std::to_string(expected.size()) +
           " were expected";
  }
  size_t worst = 0;
  double most = -1;
  for (size_t i = 0; i < expected.size(); ++i) {
    const double d = std::fabs(file.values[i] - expected[i]);
    if (!(d <= most)) {
      most = d;
      worst = i;
    }
  }
  if (most <= tolerance) return "";
  const size_t pixel = worst / size_t(file.spec.nchannels);
  return "value " + std::to_string(file.values[worst]) + " where " + std::to_string(expected[worst]) +
         " was expected, at (" + std::to_string(pixel % size_t(file.spec.width)) + ", " +
         std::to_string(pixel / size_t(file.spec.width)) + ") channel " +
         std::to_string(worst % size_t(file.spec.nchannels));
}

std::unique_ptr<host::HeadlessHost> moduleWith(std::shared_ptr<const host::Layer> layer,
                                               const std::vector<std::pair<std::string, std::string>>& params) {
  std::string error;
  std::unique_ptr<host::HeadlessHost> h = host::HeadlessHost::open(FM_MODULE_PATH, {}, &error);
  EXPECT_TRUE(h) << error;
  if (!h) return h;
  EXPECT_TRUE(h->attachLayer(0, std::move(layer), &error)) << error;
  for (const auto& [name, value] : params) {
    EXPECT_TRUE(h->setParam(name, value, &error)) << name << "=" << value << ": " << error;
  }
  return h;
}

host::Image renderLikeTheTool(host::HeadlessHost& host, int width, int height, int depth,
                              int32_t time, int proxy, bool expand, PF_Rect* placed) {
  host::FrameRequest request;
  request.time = time;
  request.depth = depth;
  request.downsampleX = request.downsampleY = PF_Ratio{1, uint32_t(proxy)};
  if (expand) request.request = PF_Rect{-(1 << 29), -(1 << 29), 1 << 29, 1 << 29};
  host::Image out;
  PF_Rect rect{};
  const host::FrameReport report = host.renderFrame(request, [&](const PF_Rect& result) {
    rect = expand ? result
                  : PF_Rect{0, 0, host::scaledSize(width, request.downsampleX),
                            host::scaledSize(height, request.downsampleY)};
    out = host::Image(rect.right - rect.left, rect.bottom - rect.top, depth);
    return host::OutputTarget{out.row(0), out.rowBytes(), rect};
  });
  EXPECT_TRUE(report.ok()) << report.message;
  if (placed) *placed = rect;
  return out;
}

}  // namespace fm::test
