// Output files appear complete or not at all: each is written under a temporary name in its
// own folder and renamed once closed. The temporary names are known, so that an interrupted
// or failed run can remove them.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "cli/ImageFile.h"
#include "cli/TaskPool.h"
#include "host/Image.h"

namespace fm::cli {

class TempFiles {
 public:
  // The process's temporary files, for the interrupt handler as much as for writers.
  static TempFiles& all();

  // A fresh temporary name beside finalPath, registered until committed or discarded.
  std::string make(const std::string& finalPath);
  // Renames the temporary file to its final name; false with the reason.
  bool commit(const std::string& temp, const std::string& finalPath, std::string* error);
  void discard(const std::string& temp);
  // Removes every registered file.
  void removeAll();

 private:
  std::mutex mutex_;
  std::set<std::string> live_;
  unsigned long counter_ = 0;
};

// Writes an image to path through a temporary file; false with the reason, and then nothing
// under path has changed.
bool writeFileSafely(const std::string& path, const host::Image& image, const OutputLayout& layout,
                     std::string* error);

// Writes finished frames on threads of its own while the next frames render.
class FrameWriter {
 public:
  FrameWriter(int threads, int capacity);
  ~FrameWriter();

  // Queues an image for path, waiting while `capacity` images are waiting already; done runs
  // on the writing thread once the file is in place.
  void write(const std::string& path, std::shared_ptr<const host::Image> image,
             std::shared_ptr<const OutputLayout> layout, std::function<void()> done);
  // Until every queued image is written.
  void finish();
  // Drops the images still queued and waits for those being written.
  void cancel();
  // The first write that failed; empty while none has.
  std::string error() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable room_;
  int pending_ = 0;
  const int capacity_;
  std::string error_;
  TaskPool pool_;
};

}  // namespace fm::cli
