#include "cli/local/local_tree.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include "cli/interrupt.h"
#include "cli/text.h"

namespace {

std::int64_t mtime_ns(const struct stat& info) {
  return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

const char* special_kind(mode_t mode) {
  if (S_ISFIFO(mode)) return "FIFO";
  if (S_ISSOCK(mode)) return "socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "device";
  return "special file";
}

constexpr char kCacheTag[] = "CACHEDIR.TAG";
constexpr char kCacheSignature[] = "Signature: 8a477f597d28d172789f06886806bc55";

// True when `dir` holds a CACHEDIR.TAG that starts with its signature.
bool is_cache_dir(const std::string& dir) {
  std::FILE* file = std::fopen((dir + "/" + kCacheTag).c_str(), "rb");
  if (!file) return false;
  char head[sizeof(kCacheSignature) - 1];
  const bool tagged = std::fread(head, 1, sizeof(head), file) == sizeof(head) &&
                      std::memcmp(head, kCacheSignature, sizeof(head)) == 0;
  std::fclose(file);
  return tagged;
}

// The files by which a brevanto-service's storage root is known.
bool is_service_store(const std::vector<std::string>& sorted_names) {
  return std::binary_search(sorted_names.begin(), sorted_names.end(), "catalog.sqlite3") &&
         std::binary_search(sorted_names.begin(), sorted_names.end(), "service.lock");
}

// The target of the link `path`; false when it cannot be read.
bool read_link(const std::string& path, std::size_t size_hint, std::string& target) {
  std::size_t size = size_hint + 1 < 256 ? 256 : size_hint + 1;
  for (;;) {
    target.resize(size);
    const ssize_t got = readlink(path.c_str(), &target[0], size);
    if (got < 0) return false;
    if (static_cast<std::size_t>(got) < size) {
      target.resize(static_cast<std::size_t>(got));
      return true;
    }
    size *= 2;
  }
}

// Files with more than one name, by device and inode: the first name met.
using HardLinks = std::map<std::pair<dev_t, ino_t>, std::string>;

// Walks one directory into `tree`; false, with nothing added, when the
// directory is a service's storage root.
bool walk(const std::string& root, const std::string& relative_dir, const WalkOptions& options,
          LocalTree& tree, HardLinks& hard_links) {
  const std::string dir = relative_dir.empty() ? root : root + "/" + relative_dir;
  DIR* stream = opendir(dir.c_str());
  if (!stream) {
    tree.problems.push_back((relative_dir.empty() ? "." : relative_dir) + ": " +
                            std::strerror(errno));
    return true;
  }
  std::vector<std::string> names;
  while (const dirent* item = readdir(stream)) {
    const std::string name = item->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(stream);
  std::sort(names.begin(), names.end());
  if (is_service_store(names)) return false;
  const bool cache = options.exclude_caches && is_cache_dir(dir);
  for (const std::string& name : names) {
    if (interrupted()) return true;  // the backup stops before it sends anything
    const std::string relative = relative_dir.empty() ? name : relative_dir + "/" + name;
    if (relative_dir.empty() &&
        name.compare(0, options.reserved_prefix.size(), options.reserved_prefix) == 0) {
      continue;
    }
    const std::string full = dir + "/" + name;
    struct stat info;
    if (lstat(full.c_str(), &info) != 0) {
      tree.problems.push_back(relative + ": " + std::strerror(errno));
      continue;
    }
    // Left out entries are neither read nor reported: a link or a special
    // file the patterns name is no notice either.
    if ((cache && name != kCacheTag) ||
        (options.exclude && options.exclude->excluded(relative, S_ISDIR(info.st_mode)))) {
      ++tree.excluded;
      continue;
    }
    if (S_ISLNK(info.st_mode)) {
      struct stat target;
      if (options.copy_links && stat(full.c_str(), &target) == 0 && S_ISREG(target.st_mode)) {
        info = target;
      } else {
        LocalEntry link;
        link.relative = relative;
        link.is_link = true;
        link.mtime_ns = mtime_ns(info);
        std::string target;
        if (!read_link(full, static_cast<std::size_t>(info.st_size), target)) {
          tree.problems.push_back(relative + ": " + std::strerror(errno));
        } else {
          link.set_link_target(std::move(target));
          tree.entries.push_back(std::move(link));
        }
        continue;
      }
    }
    if (!S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode)) {
      tree.skipped.push_back(relative + ": " + special_kind(info.st_mode));
      continue;
    }
    if (S_ISREG(info.st_mode) && options.exclude_larger_than > 0 &&
        static_cast<std::uint64_t>(info.st_size) > options.exclude_larger_than) {
      ++tree.excluded;
      continue;
    }
    LocalEntry entry;
    entry.relative = relative;
    entry.mtime_ns = mtime_ns(info);
    entry.mode = static_cast<int>(info.st_mode & 07777);
    entry.is_dir = S_ISDIR(info.st_mode);
    if (entry.is_dir && std::any_of(options.own_folders.begin(), options.own_folders.end(),
                                    [&](const FolderId& own) {
                                      return own.dev == info.st_dev && own.ino == info.st_ino;
                                    })) {
      tree.own_folders.push_back(relative);
      continue;
    }
    if (entry.is_dir) {
      tree.entries.push_back(std::move(entry));
      if (!walk(root, relative, options, tree, hard_links)) {
        tree.entries.pop_back();
        tree.service_stores.push_back(relative);
      }
    } else {
      entry.size = static_cast<std::uint64_t>(info.st_size);
      if (info.st_nlink > 1) {
        const auto known = hard_links.emplace(std::make_pair(info.st_dev, info.st_ino), relative);
        if (!known.second) entry.set_hardlink_to(known.first->second);
      }
      ++tree.files;
      tree.bytes += entry.size;
      tree.entries.push_back(std::move(entry));
    }
  }
  return true;
}

}  // namespace

const std::string LocalEntry::kNoName;

void LocalEntry::set_link_target(std::string target) {
  is_link = true;
  set_second_name(std::move(target));
}

void LocalEntry::set_hardlink_to(std::string name) {
  is_link = false;
  set_second_name(std::move(name));
}

void LocalEntry::set_second_name(std::string name) {
  if (name.empty()) {
    second_name_.reset();
  } else {
    second_name_ = std::make_unique<std::string>(std::move(name));
  }
}

std::string unstorable_name_reason(const std::string& name) {
  if (!is_valid_utf8(name)) return "name is not valid UTF-8";
  for (const char c : name) {
    if (c == '\\') return "name holds a backslash, a separator in the storage";
    if (c == '"') return "name holds a double quote, which the library refuses";
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      return "name holds a control character";
    }
  }
  return std::string();
}

LocalTree walk_local_tree(const std::string& root, const WalkOptions& options) {
  LocalTree tree;
  struct stat info;
  if (stat(root.c_str(), &info) == 0) {
    tree.root_mode = static_cast<int>(info.st_mode & 07777);
    tree.root_mtime_ns = mtime_ns(info);
  }
  HardLinks hard_links;
  if (!walk(root, std::string(), options, tree, hard_links)) tree.service_stores.push_back(".");
  return tree;
}
