// Transfer progress on stderr: a redrawn bar on a terminal, plain lines
// (one per file done) otherwise, or nothing but messages when quiet.
#ifndef BREVANTO_CLI_PROGRESS_H_
#define BREVANTO_CLI_PROGRESS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

enum class ProgressMode { kBar, kLines, kQuiet };

// kBar when stderr is a terminal, kLines when not; kQuiet when asked.
ProgressMode choose_progress_mode(bool quiet);

class Progress {
 public:
  explicit Progress(ProgressMode mode);
  ~Progress();  // takes the bar off the screen
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // A job of several files: the bar then shows the whole job too, and each
  // line carries the file's number.
  void start_job(std::size_t files, std::uint64_t bytes);
  // One file starts; `label` names it on the bar and in its line.
  void start_file(const std::string& label, std::uint64_t size);
  // The library's progress callback; `context` is the Progress.
  static int on_progress(std::uint64_t completed, std::uint64_t total, void* context);
  // The current file is done: "<verb> <label> (<size> bytes)" as a line, in
  // plain mode, and on the terminal when it is not part of a job.
  void finish_file(const std::string& verb, std::uint64_t size);
  // The current file failed; its message comes through message().
  void abandon_file();
  // A line on stderr that does not tear the bar.
  void message(const std::string& line);
  // Takes the bar off the screen for good, before a summary is printed.
  void close();

 private:
  using Clock = std::chrono::steady_clock;

  void update(std::uint64_t completed, std::uint64_t total);
  void draw(bool force);
  void clear_bar();
  std::string bar_text() const;

  ProgressMode mode_;
  bool job_ = false;
  std::size_t job_files_ = 0;
  std::uint64_t job_bytes_ = 0;
  std::size_t files_done_ = 0;
  std::uint64_t bytes_done_ = 0;  // of the files finished so far
  std::string label_;
  std::uint64_t file_size_ = 0;
  std::uint64_t file_done_ = 0;
  Clock::time_point started_;
  Clock::time_point last_draw_;
  bool bar_shown_ = false;
  bool closed_ = false;
};

#endif  // BREVANTO_CLI_PROGRESS_H_
