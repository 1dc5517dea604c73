#include "cli/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "cli/text_width.h"
#include "cli/units.h"

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);  // at most 10 per second
constexpr int kBarCells = 24;
constexpr int kFewestBarCells = 6;

int terminal_columns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

std::string bar(double fraction, int cells) {
  const int filled = std::clamp(static_cast<int>(fraction * cells), 0, cells);
  return "[" + std::string(filled, '#') + std::string(cells - filled, '-') + "]";
}

std::string percent(double fraction) {
  char text[8];
  std::snprintf(text, sizeof(text), "%3d%%", static_cast<int>(fraction * 100));
  return text;
}

}  // namespace

std::string layout_bar_line(double fraction, const std::string& figures, const std::string& label,
                            int columns) {
  const std::string tail = label.empty() ? std::string() : "  " + label;
  // "[", "]" and the blank after the bar take three columns.
  const int room = columns - 3 - display_width(figures) - display_width(tail);
  const int cells = std::clamp(room, kFewestBarCells, kBarCells);
  return fit_columns(bar(fraction, cells) + " " + figures + tail, columns);
}

ProgressMode choose_progress_mode(bool quiet) {
  if (quiet) return ProgressMode::kQuiet;
  return isatty(STDERR_FILENO) ? ProgressMode::kBar : ProgressMode::kLines;
}

Progress::Progress(ProgressMode mode, std::size_t slots)
    : mode_(mode), slots_(std::max<std::size_t>(slots, 1)), started_(Clock::now()) {
  for (Slot& slot : slots_) slot.owner = this;
}

Progress::~Progress() {
  std::lock_guard<std::mutex> lock(mutex_);
  clear_bar();
}

void Progress::start_job(std::size_t files, std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  job_ = true;
  job_files_ = files;
  job_bytes_ = bytes;
  files_done_ = 0;
  bytes_done_ = 0;
  started_ = Clock::now();
}

void Progress::start_file(const std::string& label, std::uint64_t size, std::size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  Slot& slot = slots_[index];
  slot.label = label;
  slot.size = size;
  slot.done = 0;
  shown_slot_ = index;
  if (!job_) started_ = Clock::now();
  draw(true);
}

int Progress::on_progress(std::uint64_t completed, std::uint64_t total, void* context) {
  Slot& slot = *static_cast<Slot*>(context);
  slot.owner->update(slot, completed, total);
  return 0;
}

void Progress::update(Slot& slot, std::uint64_t completed, std::uint64_t total) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (total > 0) slot.size = total;
  slot.done = slot.size > 0 ? std::min(completed, slot.size) : completed;
  draw(false);
}

void Progress::finish_file(const std::string& verb, std::uint64_t size, std::size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  Slot& slot = slots_[index];
  ++files_done_;
  bytes_done_ += size;
  // A transfer still in flight when the command stopped prints nothing.
  if (closed_) return;
  // On a terminal a single transfer leaves its line too, as the bar goes.
  if (mode_ == ProgressMode::kLines || (mode_ == ProgressMode::kBar && !job_)) {
    clear_bar();
    std::string line;
    if (job_) line = "[" + std::to_string(files_done_) + "/" + std::to_string(job_files_) + "] ";
    line += verb + " " + slot.label + " (" + std::to_string(size) + " bytes)";
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
  }
  slot = Slot{this, {}, 0, 0};
  draw(true);
}

void Progress::abandon_file(std::size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  Slot& slot = slots_[index];
  ++files_done_;
  bytes_done_ += slot.size;
  slot = Slot{this, {}, 0, 0};
}

void Progress::message(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  clear_bar();
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
  draw(true);
}

void Progress::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  clear_bar();
  closed_ = true;
}

void Progress::draw(bool force) {
  if (mode_ != ProgressMode::kBar || closed_) return;
  const Clock::time_point now = Clock::now();
  if (!force && now - last_draw_ < kRedrawInterval) return;
  if (slots_[shown_slot_].label.empty() && !job_) return;
  last_draw_ = now;
  // One column is left free: a line that fills the last column makes some
  // terminals wrap, and every redraw would then leave a stale line behind.
  const std::string line = bar_text(terminal_columns() - 1);
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

std::string Progress::bar_text(int columns) const {
  std::uint64_t in_flight = 0;
  for (const Slot& slot : slots_) in_flight += slot.done;
  const Slot& shown = slots_[shown_slot_];
  const std::uint64_t done = (job_ ? bytes_done_ : 0) + in_flight;
  const std::uint64_t total = job_ ? job_bytes_ : shown.size;
  const double fraction =
      total > 0 ? std::min(1.0, static_cast<double>(done) / static_cast<double>(total))
                : (job_ && job_files_ > 0 ? static_cast<double>(files_done_) / job_files_ : 0.0);
  const double elapsed = std::chrono::duration<double>(Clock::now() - started_).count();

  std::string figures = percent(fraction);
  if (job_) figures += "  " + std::to_string(files_done_) + "/" + std::to_string(job_files_) + " files";
  figures += "  " + human_bytes(done) + " / " + human_bytes(total);
  if (elapsed >= 0.5 && done > 0) {
    const double rate = static_cast<double>(done) / elapsed;
    figures += "  " + human_bytes(static_cast<std::uint64_t>(rate)) + "/s";
    figures += "  ETA " + human_duration(static_cast<double>(total > done ? total - done : 0) / rate);
  }
  // The file's own percent comes before its name, which is cut first.
  std::string label = shown.label;
  if (!label.empty() && job_ && shown.size > 0) {
    label = percent(static_cast<double>(shown.done) / static_cast<double>(shown.size)) + " " + label;
  }
  return layout_bar_line(fraction, figures, label, columns);
}
