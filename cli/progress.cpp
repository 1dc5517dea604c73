#include "cli/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "cli/units.h"

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);  // at most 10 per second
constexpr int kBarCells = 24;

int terminal_columns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// Cuts UTF-8 text to `columns` code points, taking one column for each.
std::string fit(const std::string& text, int columns) {
  int count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (count++ == columns) return text.substr(0, i);
  }
  return text;
}

std::string bar(double fraction) {
  const int filled = static_cast<int>(fraction * kBarCells);
  return "[" + std::string(filled, '#') + std::string(kBarCells - filled, '-') + "]";
}

std::string percent(double fraction) {
  char text[8];
  std::snprintf(text, sizeof(text), "%3d%%", static_cast<int>(fraction * 100));
  return text;
}

}  // namespace

ProgressMode choose_progress_mode(bool quiet) {
  if (quiet) return ProgressMode::kQuiet;
  return isatty(STDERR_FILENO) ? ProgressMode::kBar : ProgressMode::kLines;
}

Progress::Progress(ProgressMode mode) : mode_(mode), started_(Clock::now()) {}

Progress::~Progress() { clear_bar(); }

void Progress::start_job(std::size_t files, std::uint64_t bytes) {
  job_ = true;
  job_files_ = files;
  job_bytes_ = bytes;
  files_done_ = 0;
  bytes_done_ = 0;
  started_ = Clock::now();
}

void Progress::start_file(const std::string& label, std::uint64_t size) {
  label_ = label;
  file_size_ = size;
  file_done_ = 0;
  if (!job_) started_ = Clock::now();
  draw(true);
}

int Progress::on_progress(std::uint64_t completed, std::uint64_t total, void* context) {
  static_cast<Progress*>(context)->update(completed, total);
  return 0;
}

void Progress::update(std::uint64_t completed, std::uint64_t total) {
  if (total > 0) file_size_ = total;
  file_done_ = file_size_ > 0 ? std::min(completed, file_size_) : completed;
  draw(false);
}

void Progress::finish_file(const std::string& verb, std::uint64_t size) {
  ++files_done_;
  bytes_done_ += size;
  file_done_ = 0;
  file_size_ = 0;
  // On a terminal a single transfer leaves its line too, as the bar goes.
  if (mode_ == ProgressMode::kLines || (mode_ == ProgressMode::kBar && !job_)) {
    clear_bar();
    std::string line;
    if (job_) line = "[" + std::to_string(files_done_) + "/" + std::to_string(job_files_) + "] ";
    line += verb + " " + label_ + " (" + std::to_string(size) + " bytes)";
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
  }
  label_.clear();
  draw(true);
}

void Progress::abandon_file() {
  ++files_done_;
  bytes_done_ += file_size_;
  file_done_ = 0;
  file_size_ = 0;
  label_.clear();
}

void Progress::message(const std::string& line) {
  clear_bar();
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
  draw(true);
}

void Progress::close() {
  clear_bar();
  closed_ = true;
}

void Progress::draw(bool force) {
  if (mode_ != ProgressMode::kBar || closed_) return;
  const Clock::time_point now = Clock::now();
  if (!force && now - last_draw_ < kRedrawInterval) return;
  if (label_.empty() && !job_) return;
  last_draw_ = now;
  const std::string line = fit(bar_text(), terminal_columns() - 1);
  std::fprintf(stderr, "\r\x1b[K%s", line.c_str());
  std::fflush(stderr);
  bar_shown_ = true;
}

void Progress::clear_bar() {
  if (!bar_shown_) return;
  std::fputs("\r\x1b[K", stderr);
  std::fflush(stderr);
  bar_shown_ = false;
}

std::string Progress::bar_text() const {
  const std::uint64_t done = (job_ ? bytes_done_ : 0) + file_done_;
  const std::uint64_t total = job_ ? job_bytes_ : file_size_;
  const double fraction =
      total > 0 ? std::min(1.0, static_cast<double>(done) / static_cast<double>(total))
                : (job_ && job_files_ > 0 ? static_cast<double>(files_done_) / job_files_ : 0.0);
  const double elapsed = std::chrono::duration<double>(Clock::now() - started_).count();

  std::string text = bar(fraction) + " " + percent(fraction);
  if (job_) text += "  " + std::to_string(files_done_) + "/" + std::to_string(job_files_) + " files";
  text += "  " + human_bytes(done) + " / " + human_bytes(total);
  if (elapsed >= 0.5 && done > 0) {
    const double rate = static_cast<double>(done) / elapsed;
    text += "  " + human_bytes(static_cast<std::uint64_t>(rate)) + "/s";
    text += "  ETA " + human_duration(static_cast<double>(total > done ? total - done : 0) / rate);
  }
  if (!label_.empty()) {
    text += "  " + label_;
    if (job_ && file_size_ > 0) {
      text += " " + percent(static_cast<double>(file_done_) / static_cast<double>(file_size_));
    }
  }
  return text;
}
