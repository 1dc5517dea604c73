#include "service/store/folder_content_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <vector>

#include "service/errors.h"
#include "service/store/atomic_file.h"

namespace {

// Opens directory `name` below `dir_fd`; when `create`, makes it first if
// missing and syncs the new entry into `dir_fd`.
UniqueFd open_dir(int dir_fd, const std::string& name, bool create) {
  UniqueFd fd(::openat(dir_fd, name.c_str(), kDirFlags));
  if (fd.valid() || errno != ENOENT || !create) return fd;
  if (::mkdirat(dir_fd, name.c_str(), 0700) != 0 && errno != EEXIST) return UniqueFd();
  if (::fsync(dir_fd) != 0) return UniqueFd();
  return UniqueFd(::openat(dir_fd, name.c_str(), kDirFlags));
}

std::vector<std::string> names_in(int dir_fd) {
  std::vector<std::string> names;
  const int fd = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return names;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return names;
  }
  ::rewinddir(dir);
  while (const dirent* d = ::readdir(dir)) {
    const std::string name = d->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

class FolderContentWriter : public ContentWriter {
 public:
  FolderContentWriter(FolderContentStore& store, std::int64_t user_id)
      : store_(store), user_id_(user_id) {
    name_ = make_temp_name();
    fd_ = UniqueFd(::openat(store.temp_fd(), name_.c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd_.valid()) {
      throw_errno(storage_error_code(errno, kInternal), errno, "create content temp file");
    }
  }
  ~FolderContentWriter() override {
    if (!name_.empty()) ::unlinkat(store_.temp_fd(), name_.c_str(), 0);
  }

  int fd() const override { return fd_.get(); }
  void written() override { ::sync_file_range(fd_.get(), 0, 0, SYNC_FILE_RANGE_WRITE); }

  int place(const std::string& sha256) override {
    if (::fsync(fd_.get()) != 0) return errno;
    store_.check_in_place();
    const UniqueFd folder = store_.folder_of(user_id_, sha256, true);
    if (!folder.valid()) return errno;
    if (const int err = rename_into(folder.get(), sha256)) return err;
    return ::fsync(folder.get()) == 0 ? 0 : errno;
  }

  // The synced file under its name in `folder` (not yet synced there).
  int rename_into(int folder, const std::string& sha256) {
    if (::renameat(store_.temp_fd(), name_.c_str(), folder, sha256.c_str()) != 0) return errno;
    name_.clear();
    return 0;
  }
  std::int64_t user_id() const { return user_id_; }

 private:
  FolderContentStore& store_;
  std::int64_t user_id_;
  std::string name_;
  UniqueFd fd_;
};

}  // namespace

FolderContentStore::FolderContentStore(int parent_fd, const std::string& name,
                                       const std::string& parent_path, bool read_only)
    : path_(parent_path + "/" + name) {
  root_ = open_dir(parent_fd, name, !read_only);
  if (!root_.valid() && read_only && errno == ENOENT) return;  // nothing stored yet
  if (!root_.valid()) throw_errno(kInternal, errno, "open " + name);
  if (read_only) return;
  temp_ = open_dir(root_.get(), "tmp", true);
  if (!temp_.valid()) throw_errno(kInternal, errno, "open " + name + "/tmp");
}

std::int64_t FolderContentStore::free_bytes() {
  struct statvfs st;
  if (!temp_.valid() || ::fstatvfs(temp_.get(), &st) != 0) return INT64_MAX;
  const unsigned long long bytes = static_cast<unsigned long long>(st.f_bavail) * st.f_frsize;
  return bytes > static_cast<unsigned long long>(INT64_MAX) ? INT64_MAX
                                                            : static_cast<std::int64_t>(bytes);
}

void FolderContentStore::check_in_place() const {
  struct stat held, named;
  if (::fstat(root_.get(), &held) != 0 || ::lstat(path_.c_str(), &named) != 0 ||
      held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
    throw ServiceError(kInternal, "the content folder is no longer at " + path_);
  }
}

UniqueFd FolderContentStore::folder_of(std::int64_t user_id, const std::string& sha256,
                                       bool create) {
  const UniqueFd user = open_dir(root_.get(), "u" + std::to_string(user_id), create);
  if (!user.valid()) return UniqueFd();
  return open_dir(user.get(), sha256.substr(0, 2), create);
}

std::unique_ptr<ContentWriter> FolderContentStore::begin(std::int64_t user_id) {
  check_in_place();
  return std::make_unique<FolderContentWriter>(*this, user_id);
}

std::size_t FolderContentStore::place_all(const std::vector<Placement>& batch, int* err) {
  *err = 0;
  // Written back since written(): each sync waits for little.
  for (const Placement& p : batch) {
    if (::fdatasync(p.writer->fd()) != 0) {
      *err = errno;
      return 0;
    }
  }
  check_in_place();
  // Each folder synced once, after every rename into it.
  std::map<std::string, UniqueFd> folders;
  std::size_t placed = 0;
  for (const Placement& p : batch) {
    auto* writer = static_cast<FolderContentWriter*>(p.writer);
    const std::string key = std::to_string(writer->user_id()) + "/" + p.sha256.substr(0, 2);
    UniqueFd& folder = folders[key];
    if (!folder.valid()) folder = folder_of(writer->user_id(), p.sha256, true);
    if (!folder.valid()) {
      *err = errno;
      break;
    }
    if ((*err = writer->rename_into(folder.get(), p.sha256)) != 0) break;
    ++placed;
  }
  for (const auto& [key, folder] : folders) {
    if (folder.valid() && ::fsync(folder.get()) != 0 && *err == 0) *err = errno;
  }
  return placed;
}

UniqueFd FolderContentStore::open(std::int64_t user_id, const std::string& sha256) {
  if (!root_.valid()) {
    errno = ENOENT;
    return UniqueFd();
  }
  check_in_place();
  const UniqueFd folder = folder_of(user_id, sha256, false);
  if (!folder.valid()) return UniqueFd();
  return UniqueFd(::openat(folder.get(), sha256.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
}

int FolderContentStore::remove(std::int64_t user_id, const std::string& sha256) {
  const UniqueFd folder = folder_of(user_id, sha256, false);
  if (!folder.valid()) return errno == ENOENT ? 0 : errno;
  if (::unlinkat(folder.get(), sha256.c_str(), 0) != 0 && errno != ENOENT) return errno;
  return 0;
}

void FolderContentStore::sweep(
    const std::function<void(std::int64_t, const std::string&)>& visit) {
  for (const std::string& name : names_in(temp_.get())) ::unlinkat(temp_.get(), name.c_str(), 0);
  for (const std::string& user : names_in(root_.get())) {
    if (user.size() < 2 || user[0] != 'u') continue;
    const std::int64_t user_id = std::strtoll(user.c_str() + 1, nullptr, 10);
    const UniqueFd user_fd = open_dir(root_.get(), user, false);
    if (!user_fd.valid()) continue;
    for (const std::string& prefix : names_in(user_fd.get())) {
      const UniqueFd folder = open_dir(user_fd.get(), prefix, false);
      if (!folder.valid()) continue;
      for (const std::string& sha : names_in(folder.get())) visit(user_id, sha);
    }
  }
}
