#include <windows.h>

#include "local_fs.h"

namespace quorvel {
namespace {

// Seconds since 1970 of a FILETIME (100 ns units since 1601).
std::int64_t UnixSeconds(const FILETIME& time) {
  const std::uint64_t ticks =
      (std::uint64_t{time.dwHighDateTime} << 32) | std::uint64_t{time.dwLowDateTime};
  return static_cast<std::int64_t>(ticks / 10000000ULL) - 11644473600LL;
}

HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

EntryKind Classify(const std::filesystem::path& path, std::error_code& error) {
  error.clear();
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return EntryKind::kMissing;
    error.assign(static_cast<int>(code), std::system_category());
    return EntryKind::kMissing;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::kLink;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::kDirectory;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return EntryKind::kOther;
  return EntryKind::kFile;
}

bool ReadTimes(const std::filesystem::path& path, EntryTimes* times) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  times->created = UnixSeconds(data.ftCreationTime);
  times->modified = UnixSeconds(data.ftLastWriteTime);
  return true;
}

OutputFile::~OutputFile() {
  if (handle_ != -1) ::CloseHandle(AsHandle(handle_));
}

bool OutputFile::Create(const std::filesystem::path& path) {
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool OutputFile::Write(const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!::WriteFile(AsHandle(handle_), bytes, chunk, &written, nullptr)) return false;
    bytes += written;
    size -= written;
  }
  return true;
}

bool OutputFile::Commit() {
  const HANDLE file = AsHandle(handle_);
  handle_ = -1;
  const bool flushed = ::FlushFileBuffers(file) != 0;
  const bool closed = ::CloseHandle(file) != 0;
  return flushed && closed;
}

bool MoveIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to, bool replace,
                   std::error_code& error) {
  error.clear();
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (::MoveFileExW(from.c_str(), to.c_str(), flags)) return true;
  const DWORD code = ::GetLastError();
  if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) {
    error = std::make_error_code(std::errc::file_exists);
  } else {
    error.assign(static_cast<int>(code), std::system_category());
  }
  return false;
}

}  // namespace quorvel
