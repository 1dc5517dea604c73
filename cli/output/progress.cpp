#include "cli/output/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "cli/output/output.h"
#include "cli/output/text_width.h"
#include "cli/output/units.h"

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);  // at most 10 per second
constexpr auto kStatusInterval = std::chrono::seconds(1);          // JSON status lines
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

ProgressMode choose_progress_mode(bool quiet, bool verbose, bool json) {
  ProgressMode mode;
  mode.quiet = quiet;
  mode.json = json;
  mode.bar = !quiet && !json && isatty(STDERR_FILENO);
  mode.file_lines = verbose && !quiet;
  return mode;
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
  write_status(true);
}

void Progress::start_file(const std::string& label, std::uint64_t size, std::size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  Slot& slot = slots_[index];
  slot.label = label;
  slot.size = size;
  slot.done = 0;
  shown_slot_ = index;
  if (!job_) started_ = Clock::now();
  show(true);
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
  show(false);
}

void Progress::finish_file(const std::string& verb, std::uint64_t size, std::size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  Slot& slot = slots_[index];
  ++files_done_;
  bytes_done_ += size;
  // A transfer still in flight when the command stopped prints nothing.
  if (closed_) return;
  if (mode_.json && mode_.file_lines && job_) {  // a single transfer ends with its summary
    JsonObject line;
    line.string("message_type", "verbose_status").string("action", verb).name("item", slot.label)
        .number("size", size);
    print_json(line);
  } else if (!mode_.json && (mode_.file_lines || (!job_ && !mode_.quiet))) {
    // A single transfer leaves its line, as the bar goes.
    clear_bar();
    std::string line;
    if (job_) line = "[" + std::to_string(files_done_) + "/" + std::to_string(job_files_) + "] ";
    line += verb + " " + slot.label + " (" + std::to_string(size) + " bytes)";
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
  }
  slot = Slot{this, {}, 0, 0};
  draw(true);
  write_status(false);
}

void Progress::abandon_file(std::size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  Slot& slot = slots_[index];
  ++files_done_;
  bytes_done_ += slot.size;
  slot = Slot{this, {}, 0, 0};
}

void Progress::note_entry(const std::string& action, const std::string& item) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!mode_.file_lines || closed_) return;
  if (mode_.json) {
    print_json(JsonObject().string("message_type", "verbose_status").string("action", action)
                   .name("item", item));
    return;
  }
  clear_bar();
  std::fprintf(stderr, "%s %s\n", action.c_str(), item.c_str());
  std::fflush(stderr);
  draw(true);
}

void Progress::error(const std::string& line, const std::string& item) {
  std::lock_guard<std::mutex> lock(mutex_);
  clear_bar();
  JsonObject details;
  if (!item.empty()) details.name("item", item);
  print_error(line, details);
  draw(true);
}

void Progress::notice(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  clear_bar();
  print_notice(line);
  draw(true);
}

void Progress::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  clear_bar();
  closed_ = true;
}

void Progress::show(bool force) {
  draw(force);
  write_status(force && !status_written_);
}

void Progress::draw(bool force) {
  if (!mode_.bar || closed_) return;
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

// {"message_type":"status",...} as restic writes it: the first at once, then
// at most one a second.
void Progress::write_status(bool force) {
  if (!mode_.json || mode_.quiet || closed_) return;
  const Clock::time_point now = Clock::now();
  if (!force && now - last_status_ < kStatusInterval) return;
  last_status_ = now;
  status_written_ = true;
  const Figures now_figures = figures();
  std::string current = "[";
  for (const Slot& slot : slots_) {
    if (slot.label.empty()) continue;
    if (current.size() > 1) current += ",";
    current += json_string(slot.label);
  }
  current += "]";
  JsonObject line;
  line.string("message_type", "status")
      .number("seconds_elapsed", now_figures.elapsed)
      .number("percent_done", now_figures.fraction)
      .number("total_files", job_ ? job_files_ : std::size_t{1})
      .number("files_done", job_ ? files_done_ : std::size_t{0})
      .number("total_bytes", now_figures.total)
      .number("bytes_done", now_figures.done);
  if (now_figures.rate > 0) {
    line.number("seconds_remaining",
                static_cast<double>(now_figures.total > now_figures.done
                                        ? now_figures.total - now_figures.done
                                        : 0) /
                    now_figures.rate);
  }
  line.raw("current_files", current);
  print_json(line);
}

void Progress::clear_bar() {
  if (!bar_shown_) return;
  std::fputs("\r\x1b[K", stderr);
  std::fflush(stderr);
  bar_shown_ = false;
}

Progress::Figures Progress::figures() const {
  Figures result;
  std::uint64_t in_flight = 0;
  for (const Slot& slot : slots_) in_flight += slot.done;
  result.done = (job_ ? bytes_done_ : 0) + in_flight;
  result.total = job_ ? job_bytes_ : slots_[shown_slot_].size;
  if (result.total > 0) {
    result.fraction =
        std::min(1.0, static_cast<double>(result.done) / static_cast<double>(result.total));
  } else if (job_ && job_files_ > 0) {
    result.fraction = static_cast<double>(files_done_) / static_cast<double>(job_files_);
  }
  result.elapsed = std::chrono::duration<double>(Clock::now() - started_).count();
  if (result.elapsed >= 0.5 && result.done > 0) {
    result.rate = static_cast<double>(result.done) / result.elapsed;
  }
  return result;
}

std::string Progress::bar_text(int columns) const {
  const Figures now = figures();
  const Slot& shown = slots_[shown_slot_];
  std::string figures_text = percent(now.fraction);
  if (job_) {
    figures_text +=
        "  " + std::to_string(files_done_) + "/" + std::to_string(job_files_) + " files";
  }
  figures_text += "  " + human_bytes(now.done) + " / " + human_bytes(now.total);
  if (now.rate > 0) {
    figures_text += "  " + human_bytes(static_cast<std::uint64_t>(now.rate)) + "/s";
    figures_text += "  ETA " + human_duration(static_cast<double>(now.total > now.done
                                                                      ? now.total - now.done
                                                                      : 0) /
                                              now.rate);
  }
  // The file's own percent comes before its name, which is cut first.
  std::string label = shown.label;
  if (!label.empty() && job_ && shown.size > 0) {
    label =
        percent(static_cast<double>(shown.done) / static_cast<double>(shown.size)) + " " + label;
  }
  return layout_bar_line(now.fraction, figures_text, label, columns);
}
