#include "cli/Progress.h"

#include <cmath>

namespace fm::cli {

std::string durationText(double seconds) {
  char text[32];
  if (!(seconds >= 0) || !std::isfinite(seconds)) return "?";
  if (seconds < 10) {
    std::snprintf(text, sizeof(text), "%.2f s", seconds);
  } else if (seconds < 60) {
    std::snprintf(text, sizeof(text), "%.1f s", seconds);
  } else if (seconds < 3600) {
    std::snprintf(text, sizeof(text), "%d min %d s", int(seconds) / 60, int(seconds) % 60);
  } else {
    std::snprintf(text, sizeof(text), "%d h %02d min", int(seconds) / 3600, int(seconds) / 60 % 60);
  }
  return text;
}

Progress::Progress(ProgressStyle style, int total, std::string label, std::FILE* to)
    : style_(style), total_(total), label_(std::move(label)), to_(to) {}

int Progress::done() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return done_;
}

double Progress::seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Progress::frameDone() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++done_;
  draw(false);
}

void Progress::note(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (style_ == ProgressStyle::Line && drawn_) {
    std::fputs("\r\033[K", to_);
    drawn_ = false;  // drawn again with the next frame
  }
  std::fprintf(to_, "%s\n", line.c_str());
  std::fflush(to_);
}

void Progress::finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (style_ == ProgressStyle::Line && drawn_) {
    draw(true);
    std::fputc('\n', to_);
    std::fflush(to_);
  }
}

void Progress::draw(bool final) {
  const auto now = std::chrono::steady_clock::now();
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  const double fps = elapsed > 0 ? done_ / elapsed : 0;
  if (style_ == ProgressStyle::KeyValue) {
    std::fprintf(to_, "frame=%d total=%d fps=%.2f elapsed=%.3f\n", done_, total_, fps, elapsed);
    std::fflush(to_);
    return;
  }
  if (style_ != ProgressStyle::Line) return;
  // A few redraws a second are enough for the eye and cheap for a slow terminal.
  if (!final && done_ < total_ && drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
  lastDraw_ = now;
  drawn_ = true;
  const std::string left =
      done_ >= total_ ? "done in " + durationText(elapsed)
                      : (fps > 0 ? durationText((total_ - done_) / fps) + " left" : "");
  std::fprintf(to_, "\r\033[K%s  frame %d of %d  %.1f fps  %s", label_.c_str(), done_, total_,
               fps, left.c_str());
  std::fflush(to_);
}

}  // namespace fm::cli
