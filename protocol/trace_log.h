// The trace log: a UTF-16LE text file beside the host executable that records
// the entry and exit of every operation of the service connection and a few
// events in between.
#ifndef BREVANTO_PROTOCOL_TRACE_LOG_H_
#define BREVANTO_PROTOCOL_TRACE_LOG_H_

#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/win32.h"

// The trace log file, kept open while at least one hold exists.
class CTraceFile {
 public:
  CTraceFile() = default;
  ~CTraceFile();
  CTraceFile(const CTraceFile&) = delete;
  CTraceFile& operator=(const CTraceFile&) = delete;

  // Takes a hold, opening the file if it is closed (at `path` when given,
  // which is then remembered, else at the remembered path) and moving to its
  // end. A file the call creates starts with the byte order mark FF FE.
  // Returns 0, or the system error code of the failed open (no hold taken).
  int open(const wchar_t* path = nullptr);

  // Writes the lines held back, then drops one hold; the last one flushes
  // the file to disk and closes it.
  void release();

  // Appends the line as UTF-16LE. While the file is held open, lines are
  // held back and written together by flush() (before the operation blocks
  // on the network, and at its end), which saves a write per line; once
  // kHeldBytes are held they are written at once. When the file is closed
  // it is opened for this line only; when that fails the line is dropped.
  void write_line(const std::wstring& line);

  // Appends the line "mm/dd/yy hh:mm:ss: <body>.\n", the form of every
  // trace line, without formatting or allocating once warmed up; the body
  // given in parts is their concatenation.
  void write_event(std::wstring_view body);
  void write_event(std::initializer_list<std::wstring_view> body);

  // Writes the lines held back.
  void flush();

  bool is_open() const { return handle != INVALID_HANDLE_VALUE; }

  static constexpr std::size_t kHeldBytes = 16 * 1024;

  HANDLE handle = INVALID_HANDLE_VALUE;
  unsigned holds = 0;
  std::wstring path;

 private:
  std::string pending_;  // UTF-16LE bytes of lines not yet written
  std::wstring line_;    // the line write_event is building
};

// The local date (mm/dd/yy) and time (hh:mm:ss) that start every trace line,
// read from the clock once a second by each thread.
struct TraceStamp {
  TraceStamp();
  wchar_t date[16];
  wchar_t time[16];
};

// Writes the entry line of an operation at creation and its exit line, with
// the value the result variable then holds, at the end of the scope.
class CTraceScope {
 public:
  CTraceScope(CTraceFile& file, std::wstring operation, const int& result);
  ~CTraceScope();
  CTraceScope(const CTraceScope&) = delete;
  CTraceScope& operator=(const CTraceScope&) = delete;

 private:
  CTraceFile& file_;
  std::wstring operation_;
  const int& result_;
  bool held_;
};

#endif  // BREVANTO_PROTOCOL_TRACE_LOG_H_
