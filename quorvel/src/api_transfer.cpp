// QV_UplaodFile and QV_DownlaodFile. The session lock is held to check and
// reserve at the start and to commit at the end, not while bytes are copied.
#include <memory>
#include <system_error>

#include "guarded.h"
#include "local_fs.h"
#include "quorvel/Quorvel.h"
#include "quota.h"
#include "session.h"
#include "storage_path.h"
#include "transfer.h"
#include "wide_text.h"

using namespace quorvel;
namespace fs = std::filesystem;

namespace {

// Bytes of an upload in flight, counted against the quota until it ends.
class Reservation {
 public:
  Reservation(SessionState& state, std::uint64_t bytes)
      : bytes_(bytes), generation_(state.generation) {
    state.reserved += bytes;
  }
  ~Reservation() {
    SessionLock lock;
    // A login or logout since then has dropped every reservation.
    if (lock.state().generation == generation_) lock.state().reserved -= bytes_;
  }
  Reservation(const Reservation&) = delete;
  Reservation& operator=(const Reservation&) = delete;

 private:
  std::uint64_t bytes_;
  std::uint64_t generation_;
};

// The size of a local regular file to read; following links is fine here.
int LocalSource(const fs::path& source, std::uint64_t* size) {
  std::error_code error;
  const fs::file_status status = fs::status(source, error);
  if (status.type() == fs::file_type::not_found) return QV_E_NOT_FOUND;
  if (error) return QV_E_IO;
  if (status.type() != fs::file_type::regular) return QV_E_WRONG_KIND;
  *size = fs::file_size(source, error);
  return error ? QV_E_IO : QV_OK;
}

}  // namespace

int QUORVEL_CALL QV_UplaodFile(const wchar_t* storage_path, const wchar_t* local_path,
                               int flags, QV_ProgressFunc progress, void* context) {
  return Guarded([&]() -> int {
    StoragePath path;
    Resolved target;
    fs::path source;
    fs::path incoming;
    std::uint64_t size = 0;
    std::unique_ptr<Reservation> reservation;
    {
      SessionLock lock;
      SessionState& state = lock.state();
      if (const int result = lock.Check()) return result;
      if (flags != 0) return QV_E_INVALID_ARGUMENT;
      if (const int result = ParseStoragePath(storage_path, &path)) return result;
      if (path.IsRoot()) return QV_E_WRONG_KIND;
      if (!LocalPathFromWide(local_path, &source)) return QV_E_INVALID_PATH;
      if (const int result = Resolve(state.layout.FilesFolder(), path, &target)) return result;
      if (!target.parent_is_directory) return QV_E_NOT_FOUND;
      if (target.kind == EntryKind::kDirectory) return QV_E_WRONG_KIND;
      if (const int result = LocalSource(source, &size)) return result;

      // The replaced file's bytes are freed when the new ones arrive.
      std::uint64_t used = 0, replaced = 0;
      if (const int result = UsedSpace(state.layout.FilesFolder(), &used)) return result;
      std::error_code error;
      if (target.kind == EntryKind::kFile) replaced = fs::file_size(target.local, error);
      if (error) return QV_E_IO;
      const std::uint64_t after = used - replaced + state.reserved + size;
      if (after > PlanQuota(state.account.plan)) return QV_E_QUOTA;
      reservation.reset(new Reservation(state, size));
      incoming = state.layout.IncomingFolder();
    }

    TempFile temp(incoming);
    if (const int result = CopyWithProgress(source, size, temp.path(), progress, context)) {
      return result;
    }
    SessionLock lock;
    std::error_code error;
    if (!MoveIntoPlace(temp.path(), target.local, true, error)) return QV_E_IO;
    temp.Release();
    return QV_OK;
  });
}

int QUORVEL_CALL QV_DownlaodFile(const wchar_t* storage_path, const wchar_t* local_path,
                                 bool overwrite, QV_ProgressFunc progress, void* context) {
  return Guarded([&]() -> int {
    Resolved source;
    fs::path target;
    std::uint64_t size = 0;
    {
      SessionLock lock;
      if (const int result = lock.Check()) return result;
      StoragePath path;
      if (const int result = ParseStoragePath(storage_path, &path)) return result;
      if (!LocalPathFromWide(local_path, &target)) return QV_E_INVALID_PATH;
      if (const int result = Resolve(lock.state().layout.FilesFolder(), path, &source)) {
        return result;
      }
      if (source.kind == EntryKind::kMissing) return QV_E_NOT_FOUND;
      if (source.kind != EntryKind::kFile) return QV_E_WRONG_KIND;
      std::error_code error;
      size = fs::file_size(source.local, error);
      if (error) return QV_E_IO;
    }

    std::error_code error;
    const fs::file_status status = fs::status(target, error);
    if (status.type() == fs::file_type::directory) return QV_E_WRONG_KIND;
    if (fs::exists(status) && !overwrite) return QV_E_EXISTS;
    fs::path folder = target.parent_path();
    if (folder.empty()) folder = ".";
    if (!fs::is_directory(folder, error)) return QV_E_NOT_FOUND;

    TempFile temp(folder);
    if (const int result = CopyWithProgress(source.local, size, temp.path(), progress, context)) {
      return result;
    }
    if (!MoveIntoPlace(temp.path(), target, overwrite, error)) {
      return error == std::errc::file_exists ? QV_E_EXISTS : QV_E_IO;
    }
    temp.Release();
    return QV_OK;
  });
}
