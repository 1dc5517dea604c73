#include "protocol/trace_log.h"

#include <algorithm>
#include <ctime>
#include <iterator>

#include "util/module_path.h"
#include "util/text.h"

CTraceFile::~CTraceFile() {
  if (is_open()) {
    flush();
    win32::FlushFileBuffers(handle);
    win32::CloseHandle(handle);
  }
}

int CTraceFile::open(const wchar_t* new_path) {
  if (!is_open()) {
    if (new_path != nullptr) path = new_path;
    rotate_large_log(path);
    const bool existed = win32::PathFileExistsW(path.c_str()) != FALSE;
    // Append-only, so that connections sharing the file never write over
    // each other's lines.
    handle = win32::CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = win32::GetLastError();
      return error != 0 ? static_cast<int>(error) : -1;
    }
    if (!existed) {
      static const unsigned char kByteOrderMark[2] = {0xFF, 0xFE};
      DWORD written = 0;
      win32::WriteFile(handle, kByteOrderMark, 2, &written, nullptr);
    }
    // With the high word given, a log past 4 GiB is still appended to
    // rather than written over from the start. A file kept open is
    // append-only and needs no new seek.
    LONG high = 0;
    win32::SetFilePointer(handle, 0, &high, FILE_END);
  }
  ++holds;
  return 0;
}

void CTraceFile::release() {
  if (!is_open() || holds == 0) return;
  flush();
  if (--holds == 0) {
    win32::FlushFileBuffers(handle);
    win32::CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
}

void CTraceFile::write_line(const std::wstring& line) {
  if (is_open()) {
    append_utf16le(pending_, line);
    if (pending_.size() >= kHeldBytes) flush();
    return;
  }
  if (open() != 0) return;
  pending_ = utf16le_bytes(line);
  release();
}

void CTraceFile::write_event(std::wstring_view body) { write_event({body}); }

void CTraceFile::write_event(std::initializer_list<std::wstring_view> body) {
  const TraceStamp stamp;
  line_.assign(stamp.date);
  line_.append(L" ").append(stamp.time).append(L": ");
  for (const std::wstring_view part : body) line_.append(part);
  line_.append(L".\n");
  write_line(line_);
}

void CTraceFile::flush() {
  if (pending_.empty()) return;
  if (is_open()) {
    DWORD written = 0;
    win32::WriteFile(handle, pending_.data(), static_cast<DWORD>(pending_.size()), &written,
                     nullptr);
  }
  pending_.clear();
}

TraceStamp::TraceStamp() : date(), time() {
  // Reading the local time costs more than writing the line; it is read
  // again when the second has changed.
  thread_local std::time_t read_at = -1;
  thread_local wchar_t read_date[16];
  thread_local wchar_t read_time[16];
  const std::time_t now = std::time(nullptr);
  if (now != read_at) {
    win32::_wstrdate(read_date);
    win32::_wstrtime(read_time);
    read_at = now;
  }
  std::copy(std::begin(read_date), std::end(read_date), date);
  std::copy(std::begin(read_time), std::end(read_time), time);
}

CTraceScope::CTraceScope(CTraceFile& file, std::wstring operation, const int& result)
    : file_(file), operation_(std::move(operation)), result_(result), held_(file_.open() == 0) {
  file_.write_event({L"enter ", operation_});
}

CTraceScope::~CTraceScope() {
  // A line that cannot be made is dropped: a destructor must not throw.
  try {
    file_.write_event({L"exit ", operation_, L", returned ", std::to_wstring(result_)});
  } catch (...) {
  }
  if (held_) file_.release();
}
