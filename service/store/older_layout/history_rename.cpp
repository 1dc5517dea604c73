#include "service/store/older_layout/history_rename.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "service/errors.h"
#include "service/log.h"
#include "service/store/atomic_file.h"
#include "service/store/store.h"
#include "service/unique_fd.h"

namespace {

constexpr char kRecordName[] = "history-renames";

bool exists_in(int dir_fd, const std::string& name) {
  struct stat st;
  if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return true;
  if (errno == ENOENT) return false;
  throw_errno(kInternal, errno, "stat " + log_safe(name));
}

}  // namespace

HistoryRenames::HistoryRenames(int data_fd) : data_fd_(data_fd) {
  const UniqueFd fd(::openat(data_fd, kRecordName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ENOENT) return;
    throw_errno(kInternal, errno, "open the record of renamed history folders");
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw_errno(kInternal, errno, "read the record of renamed history folders");
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  std::istringstream lines(text);
  std::string key, name;
  while (lines >> key >> name) names_[key] = name;
}

std::string HistoryRenames::name_for(const std::string& tree_key, int tree_fd) {
  if (!exists_in(tree_fd, kHistoryName)) return "";
  if (const auto it = names_.find(tree_key); it != names_.end()) return it->second;
  const std::string base = std::string(kHistoryName) + ".old";
  std::string name = base;
  for (int n = 2; exists_in(tree_fd, name); ++n) name = base + "-" + std::to_string(n);
  names_[tree_key] = name;
  record();
  if (name == base) {
    log_info("migration stores the folder \\%s of %s as \\%s", kHistoryName, tree_key.c_str(),
             name.c_str());
  } else {
    log_warn("migration stores the folder \\%s of %s as \\%s: \\%s is a folder of its own",
             kHistoryName, tree_key.c_str(), name.c_str(), base.c_str());
  }
  return name;
}

void HistoryRenames::record() {
  std::string text;
  for (const auto& [key, name] : names_) text += key + " " + name + "\n";
  AtomicFile file;
  int err = file.create(data_fd_, make_temp_name(), kRecordName, 0600);
  if (err == 0 && ::write(file.fd(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    err = errno != 0 ? errno : EIO;
  }
  if (err == 0) err = file.sync();
  if (err == 0) err = file.place(true);
  if (err == 0 && ::fsync(data_fd_) != 0) err = errno;
  if (err != 0) {
    throw_errno(storage_error_code(err, kInternal), err,
                "record the renamed history folder");
  }
}
