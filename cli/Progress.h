// How far a render job is: on a terminal one line that updates in place (frame i of n, frames
// per second, time left); for farm wrappers key=value lines, one per frame; nothing when quiet.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

namespace fm::cli {

enum class ProgressStyle { None, Line, KeyValue };

class Progress {
 public:
  // Writes to `to` (stderr in use).
  Progress(ProgressStyle style, int total, std::string label, std::FILE* to = stderr);

  // A frame is finished; safe from any thread.
  void frameDone();
  // A line for the user (stderr), clear of the updating line.
  void note(const std::string& line);
  // Ends the updating line; the frames done, and their rate, for a summary.
  void finish();
  int done() const;
  double seconds() const;

 private:
  void draw(bool final);

  const ProgressStyle style_;
  const int total_;
  const std::string label_;
  std::FILE* const to_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point lastDraw_{};
  mutable std::mutex mutex_;
  int done_ = 0;
  bool drawn_ = false;
};

// "4.2 s", "3 min 5 s", "1 h 02 min".
std::string durationText(double seconds);

}  // namespace fm::cli
