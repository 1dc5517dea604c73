// Transfer progress on stderr: a redrawn bar on a terminal, plain lines
// (one per file done) otherwise, or nothing but messages when quiet.
// Several transfers may run at once, one per slot, each on its own thread:
// every member may be called from any thread.
#ifndef BREVANTO_CLI_PROGRESS_H_
#define BREVANTO_CLI_PROGRESS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

enum class ProgressMode { kBar, kLines, kQuiet };

// kBar when stderr is a terminal, kLines when not; kQuiet when asked.
ProgressMode choose_progress_mode(bool quiet);

// The bar's line in at most `columns` screen columns: "[####----] <figures>
// <label>". The figures (percent, files, bytes, rate, ETA) matter most: the
// bar shrinks first (from 24 cells to 6), then the label is cut from its
// end, and only then the figures.
std::string layout_bar_line(double fraction, const std::string& figures, const std::string& label,
                            int columns);

class Progress {
 public:
  // `slots`: how many transfers may run at once.
  explicit Progress(ProgressMode mode, std::size_t slots = 1);
  ~Progress();  // takes the bar off the screen
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // A job of several files: the bar then shows the whole job too, and each
  // line carries the file's number.
  void start_job(std::size_t files, std::uint64_t bytes);
  // One file starts in `slot`; `label` names it on the bar and in its line.
  void start_file(const std::string& label, std::uint64_t size, std::size_t slot = 0);
  // The library's progress callback, with context(slot) as its context.
  static int on_progress(std::uint64_t completed, std::uint64_t total, void* context);
  void* context(std::size_t slot = 0) { return &slots_[slot]; }
  // The file of `slot` is done: "<verb> <label> (<size> bytes)" as a line,
  // in plain mode, and on the terminal when it is not part of a job.
  void finish_file(const std::string& verb, std::uint64_t size, std::size_t slot = 0);
  // The file of `slot` failed; its message comes through message().
  void abandon_file(std::size_t slot = 0);
  // A line on stderr that does not tear the bar.
  void message(const std::string& line);
  // Takes the bar off the screen for good, before a summary is printed.
  void close();

 private:
  using Clock = std::chrono::steady_clock;

  struct Slot {
    Progress* owner = nullptr;
    std::string label;
    std::uint64_t size = 0;
    std::uint64_t done = 0;
  };

  void update(Slot& slot, std::uint64_t completed, std::uint64_t total);
  void draw(bool force);
  void clear_bar();
  std::string bar_text(int columns) const;

  std::mutex mutex_;
  ProgressMode mode_;
  std::vector<Slot> slots_;
  std::size_t shown_slot_ = 0;  // the slot whose file the bar names
  bool job_ = false;
  std::size_t job_files_ = 0;
  std::uint64_t job_bytes_ = 0;
  std::size_t files_done_ = 0;
  std::uint64_t bytes_done_ = 0;  // of the files finished so far
  Clock::time_point started_;
  Clock::time_point last_draw_;
  bool bar_shown_ = false;
  bool closed_ = false;
};

#endif  // BREVANTO_CLI_PROGRESS_H_
