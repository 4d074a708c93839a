#include "cli/OutputFiles.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace fm::cli {

TempFiles& TempFiles::all() {
  static TempFiles files;
  return files;
}

std::string TempFiles::make(const std::string& finalPath) {
  const size_t slash = finalPath.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "" : finalPath.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? finalPath : finalPath.substr(slash + 1);
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string temp = folder + "." + name + ".fogmill-" + std::to_string(getpid()) + "-" +
                           std::to_string(++counter_);
  live_.insert(temp);
  return temp;
}

bool TempFiles::commit(const std::string& temp, const std::string& finalPath, std::string* error) {
  if (std::rename(temp.c_str(), finalPath.c_str()) != 0) {
    if (error) *error = finalPath + ": " + std::strerror(errno);
    discard(temp);
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  live_.erase(temp);
  return true;
}

void TempFiles::discard(const std::string& temp) {
  std::remove(temp.c_str());
  std::lock_guard<std::mutex> lock(mutex_);
  live_.erase(temp);
}

void TempFiles::removeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const std::string& temp : live_) std::remove(temp.c_str());
  live_.clear();
}

bool writeFileSafely(const std::string& path, const host::Image& image, const OutputLayout& layout,
                     std::string* error) {
  TempFiles& temps = TempFiles::all();
  const std::string temp = temps.make(path);
  if (writeImage(temp, path, image, layout, error) && temps.commit(temp, path, error)) return true;
  temps.discard(temp);
  return false;
}

FrameWriter::FrameWriter(int threads, int capacity)
    : capacity_(capacity < 1 ? 1 : capacity), pool_(threads) {}

FrameWriter::~FrameWriter() { cancel(); }

void FrameWriter::write(const std::string& path, std::shared_ptr<const host::Image> image,
                        std::shared_ptr<const OutputLayout> layout, std::function<void()> done) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [this] { return pending_ < capacity_; });
    ++pending_;
  }
  pool_.run([this, path, image, layout, done] {
    std::string why;
    const bool ok = writeFileSafely(path, *image, *layout, &why);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!ok && error_.empty()) error_ = why;
      --pending_;
    }
    room_.notify_all();
    if (ok && done) done();
  });
}

void FrameWriter::finish() { pool_.waitIdle(); }

void FrameWriter::cancel() {
  pool_.dropWaiting();
  pool_.waitIdle();
  std::lock_guard<std::mutex> lock(mutex_);
  pending_ = 0;
  room_.notify_all();
}

std::string FrameWriter::error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

}  // namespace fm::cli
