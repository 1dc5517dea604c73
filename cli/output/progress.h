// Transfer progress: a bar redrawn on stderr when it is a terminal, JSON
// status lines on stdout with --json, and with -v a line for each file
// done. Several transfers may run at once, one per slot, each on its own
// thread: every member may be called from any thread.
#ifndef BREVANTO_CLI_PROGRESS_H_
#define BREVANTO_CLI_PROGRESS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// How a command shows its progress.
struct ProgressMode {
  bool bar = false;         // a bar redrawn on stderr, a terminal
  bool json = false;        // JSON lines on stdout instead of text
  bool file_lines = false;  // a line for each file done (-v)
  bool quiet = false;       // no progress at all (-q): problems and results only
};

// -q: quiet. --json: JSON status lines. Otherwise a bar when stderr is a
// terminal. -v adds a line for each file done; without it, and without a
// terminal, backup and restore print their summary only.
ProgressMode choose_progress_mode(bool quiet, bool verbose, bool json);

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
  // line carries the file's number. With --json the first status line goes
  // out now.
  void start_job(std::size_t files, std::uint64_t bytes);
  // One file starts in `slot`; `label` names it on the bar and in its line.
  void start_file(const std::string& label, std::uint64_t size, std::size_t slot = 0);
  // The library's progress callback, with context(slot) as its context.
  static int on_progress(std::uint64_t completed, std::uint64_t total, void* context);
  void* context(std::size_t slot = 0) { return &slots_[slot]; }
  // The file of `slot` is done: "<verb> <label> (<size> bytes)" as a line
  // (JSON: a verbose_status object) with -v; a single transfer (no job)
  // prints its text line unless quiet (with --json its command prints a
  // summary instead).
  void finish_file(const std::string& verb, std::uint64_t size, std::size_t slot = 0);
  // The file of `slot` failed; its problem comes through error().
  void abandon_file(std::size_t slot = 0);
  // An entry handled outside the transfers ("deleted"), with -v only.
  void note_entry(const std::string& action, const std::string& item);
  // A problem or notice (output.h) that does not tear the bar; `item`, when
  // given, names the file it concerns in the JSON object.
  void error(const std::string& line, const std::string& item = std::string());
  void notice(const std::string& line);
  // Takes the bar off the screen for good, before a summary is printed; no
  // status line follows.
  void close();

 private:
  using Clock = std::chrono::steady_clock;

  struct Slot {
    Progress* owner = nullptr;
    std::string label;
    std::uint64_t size = 0;
    std::uint64_t done = 0;
  };

  // The whole job's (or the single file's) figures at this moment.
  struct Figures {
    double fraction = 0;
    std::uint64_t done = 0;
    std::uint64_t total = 0;
    double elapsed = 0;
    double rate = 0;  // bytes per second, 0 while unknown
  };

  void update(Slot& slot, std::uint64_t completed, std::uint64_t total);
  void show(bool force);
  void draw(bool force);
  void write_status(bool force);
  void clear_bar();
  Figures figures() const;
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
  Clock::time_point last_status_;
  bool status_written_ = false;
  bool bar_shown_ = false;
  bool closed_ = false;
};

#endif  // BREVANTO_CLI_PROGRESS_H_
