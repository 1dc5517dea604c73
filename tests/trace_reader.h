// Reads the UTF-16LE log file beside the test executable back as lines.
#ifndef BREVANTO_TESTS_TRACE_READER_H_
#define BREVANTO_TESTS_TRACE_READER_H_

#include <cstddef>
#include <string>
#include <vector>

// The path of Logs/Brevanto.log beside the running executable, as UTF-8.
std::string log_file_path();

// The raw bytes of a file ("" when it cannot be read).
std::string read_file_bytes(const std::string& path);

// UTF-16LE bytes to UTF-8 (surrogate pairs joined).
std::string utf16le_to_utf8(const std::string& bytes);

// Lines appended to the log file after a mark.
class TraceReader {
 public:
  TraceReader() { mark(); }
  // Remembers the current end of the file.
  void mark();
  // Lines written since the mark, each without its "\n" (or "\r\n") and, when
  // `strip_stamp`, without the leading "mm/dd/yy hh:mm:ss: " of trace lines.
  std::vector<std::string> lines(bool strip_stamp = true) const;
  // How many of those lines equal `line`.
  std::size_t count(const std::string& line) const;
  // Waits (up to two seconds) until `count(line)` reaches `n`.
  bool wait_for(const std::string& line, std::size_t n) const;

 private:
  std::size_t offset_ = 0;
};

#endif  // BREVANTO_TESTS_TRACE_READER_H_
