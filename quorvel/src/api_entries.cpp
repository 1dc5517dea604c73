// Listing, file information, and creating and removing entries.
#include <algorithm>
#include <system_error>
#include <utility>
#include <vector>

#include "file_record.h"
#include "guarded.h"
#include "local_fs.h"
#include "quorvel/Quorvel.h"
#include "session.h"
#include "storage_path.h"
#include "wide_text.h"

using namespace quorvel;
namespace fs = std::filesystem;

namespace {

struct Child {
  std::u16string name;
  fs::path local;
  EntryKind kind;
};

// The files and directories of `folder`, ordered by name in UTF-16 code unit
// order; links and other entries are not part of the cloud and are left out.
int ReadChildren(const fs::path& folder, std::vector<Child>* children) {
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    Child child;
    child.local = it->path();
    child.kind = Classify(child.local, error);
    if (error) return QV_E_IO;
    if (child.kind != EntryKind::kFile && child.kind != EntryKind::kDirectory) continue;
    if (!Utf16FromPath(child.local.filename(), &child.name)) return QV_E_INVALID_PATH;
    children->push_back(std::move(child));
  }
  if (error) return QV_E_IO;
  std::sort(children->begin(), children->end(),
            [](const Child& a, const Child& b) { return a.name < b.name; });
  return QV_OK;
}

// Appends the records of `folder`, whose directory text is `directory`: each
// directory before its own content when `recursive`.
int ListFolder(const fs::path& folder, const std::u16string& directory, bool recursive,
               std::vector<_cloud_file_record>* records) {
  std::vector<Child> children;
  if (const int result = ReadChildren(folder, &children)) return result;
  for (const Child& child : children) {
    records->emplace_back();
    if (const int result =
            FillRecord(directory, child.name, child.kind, child.local, &records->back())) {
      return result;
    }
    if (recursive && child.kind == EntryKind::kDirectory) {
      const int result = ListFolder(child.local, directory + child.name + u'\\', true, records);
      if (result != QV_OK) return result;
    }
  }
  return QV_OK;
}

// Removes `folder` with its content; links inside are removed, not followed.
bool RemoveTree(const fs::path& folder) {
  std::error_code error;
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    entries.push_back(it->path());
  }
  if (error) return false;
  for (const fs::path& entry : entries) {
    const EntryKind kind = Classify(entry, error);
    if (error) return false;
    if (kind == EntryKind::kDirectory) {
      if (!RemoveTree(entry)) return false;
    } else if (!fs::remove(entry, error) && error) {
      return false;
    }
  }
  fs::remove(folder, error);
  return !error;
}

// Parses `text` and finds it under the session's files folder.
int Locate(SessionState& state, const wchar_t* text, StoragePath* path, Resolved* resolved) {
  if (const int result = ParseStoragePath(text, path)) return result;
  return Resolve(state.layout.FilesFolder(), *path, resolved);
}

}  // namespace

int QUORVEL_CALL QV_GetFileList(const wchar_t* directory, bool recursive,
                                std::vector<_cloud_file_record>* records) {
  return Guarded([&]() -> int {
    SessionLock lock;
    if (const int result = lock.Check()) return result;
    if (records == nullptr) return QV_E_INVALID_ARGUMENT;
    StoragePath path;
    Resolved resolved;
    if (const int result = Locate(lock.state(), directory, &path, &resolved)) return result;
    if (resolved.kind == EntryKind::kMissing) return QV_E_NOT_FOUND;
    if (resolved.kind != EntryKind::kDirectory) return QV_E_WRONG_KIND;

    std::u16string text = path.DirectoryText();
    if (!path.IsRoot()) text += path.parts.back() + u'\\';
    std::vector<_cloud_file_record> listed;
    if (const int result = ListFolder(resolved.local, text, recursive, &listed)) return result;
    records->swap(listed);
    return QV_OK;
  });
}

int QUORVEL_CALL QV_GetFileInfo(const wchar_t* path_text, _cloud_file_record* record) {
  return Guarded([&]() -> int {
    SessionLock lock;
    if (const int result = lock.Check()) return result;
    if (record == nullptr) return QV_E_INVALID_ARGUMENT;
    StoragePath path;
    Resolved resolved;
    if (const int result = Locate(lock.state(), path_text, &path, &resolved)) return result;
    if (resolved.kind == EntryKind::kMissing) return QV_E_NOT_FOUND;
    const std::u16string name = path.IsRoot() ? std::u16string() : path.parts.back();
    // Filled aside, so that a failure leaves the caller's record as it was.
    _cloud_file_record filled;
    if (const int result =
            FillRecord(path.DirectoryText(), name, resolved.kind, resolved.local, &filled)) {
      return result;
    }
    *record = filled;
    return QV_OK;
  });
}

int QUORVEL_CALL QV_DeleteFile(const wchar_t* path_text) {
  return Guarded([&]() -> int {
    SessionLock lock;
    if (const int result = lock.Check()) return result;
    StoragePath path;
    Resolved resolved;
    if (const int result = Locate(lock.state(), path_text, &path, &resolved)) return result;
    if (resolved.kind == EntryKind::kMissing) return QV_E_NOT_FOUND;
    if (resolved.kind != EntryKind::kFile) return QV_E_WRONG_KIND;
    std::error_code error;
    fs::remove(resolved.local, error);
    return error ? QV_E_IO : QV_OK;
  });
}

int QUORVEL_CALL QV_RemoveDir(const wchar_t* path_text) {
  return Guarded([&]() -> int {
    SessionLock lock;
    if (const int result = lock.Check()) return result;
    StoragePath path;
    Resolved resolved;
    if (const int result = Locate(lock.state(), path_text, &path, &resolved)) return result;
    if (path.IsRoot()) return QV_E_INVALID_PATH;
    if (resolved.kind == EntryKind::kMissing) return QV_E_NOT_FOUND;
    if (resolved.kind != EntryKind::kDirectory) return QV_E_WRONG_KIND;
    return RemoveTree(resolved.local) ? QV_OK : QV_E_IO;
  });
}

int QUORVEL_CALL QV_CreateDir(const wchar_t* path_text) {
  return Guarded([&]() -> int {
    SessionLock lock;
    if (const int result = lock.Check()) return result;
    StoragePath path;
    if (const int result = ParseStoragePath(path_text, &path)) return result;
    // One component at a time, so that no link is ever followed.
    fs::path local = lock.state().layout.FilesFolder();
    for (const std::u16string& part : path.parts) {
      local /= PathFromUtf16(part);
      std::error_code error;
      const EntryKind kind = Classify(local, error);
      if (error) return QV_E_IO;
      if (kind == EntryKind::kDirectory) continue;
      if (kind == EntryKind::kFile) return QV_E_EXISTS;
      if (kind != EntryKind::kMissing) return QV_E_INVALID_PATH;
      if (!fs::create_directory(local, error) || error) return QV_E_IO;
    }
    return QV_OK;
  });
}
