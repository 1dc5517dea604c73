#include "tests/power_cut_image.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

// A file's identity: device, inode and the inode's generation, as inode
// numbers are used again for new files once a file is gone (the folder
// listing synced before may still name the old one).
std::string key_of(int fd, const struct stat& st) {
  int generation = 0;
  if (::ioctl(fd, FS_IOC_GETVERSION, &generation) != 0) generation = 0;
  return std::to_string(st.st_dev) + "-" + std::to_string(st.st_ino) + "-" +
         std::to_string(generation);
}

// Writes `content` to shadow/name through a rename, so a reader never sees
// half of it.
void put(const std::string& shadow, const std::string& name, const std::string& content) {
  const std::string temp = shadow + "/." + name + ".tmp";
  std::ofstream(temp, std::ios::binary) << content;
  std::rename(temp.c_str(), (shadow + "/" + name).c_str());
}

std::string read_all(int fd) {
  std::string out;
  char buffer[65536];
  off_t at = 0;
  for (;;) {
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
    at += n;
  }
  return out;
}

void record_at(const std::string& shadow, int fd, const struct stat& st) {
  if (S_ISREG(st.st_mode)) {
    const int reader = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY);
    if (reader < 0) return;
    put(shadow, "file-" + key_of(fd, st), read_all(reader));
    ::close(reader);
    return;
  }
  if (!S_ISDIR(st.st_mode)) return;
  DIR* dir = ::opendir(("/proc/self/fd/" + std::to_string(fd)).c_str());
  if (dir == nullptr) return;
  std::ostringstream listing;
  while (const dirent* d = ::readdir(dir)) {
    const std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    const int entry_fd = ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (entry_fd < 0) continue;
    struct stat entry;
    if (::fstat(entry_fd, &entry) == 0 && (S_ISDIR(entry.st_mode) || S_ISREG(entry.st_mode))) {
      listing << (S_ISDIR(entry.st_mode) ? 'd' : 'f') << ' ' << key_of(entry_fd, entry) << ' '
              << name << '\n';
    }
    ::close(entry_fd);
  }
  ::closedir(dir);
  put(shadow, "dir-" + key_of(fd, st), listing.str());
}

void record_path(const std::string& shadow, const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW);
  if (fd < 0) return;
  struct stat st;
  if (::fstat(fd, &st) == 0) {
    record_at(shadow, fd, st);
    if (S_ISDIR(st.st_mode)) {
      if (DIR* dir = ::opendir(path.c_str())) {
        std::vector<std::string> names;
        while (const dirent* d = ::readdir(dir)) names.push_back(d->d_name);
        ::closedir(dir);
        for (const std::string& name : names) {
          if (name != "." && name != "..") record_path(shadow, path + "/" + name);
        }
      }
    }
  }
  ::close(fd);
}

bool rebuild_dir(const std::string& shadow, const std::string& key, const std::string& out) {
  if (::mkdir(out.c_str(), 0700) != 0) return false;
  std::ifstream listing(shadow + "/dir-" + key);
  std::string line;
  while (std::getline(listing, line)) {
    const std::size_t a = line.find(' ');
    const std::size_t b = line.find(' ', a + 1);
    const std::string entry_key = line.substr(a + 1, b - a - 1);
    const std::string path = out + "/" + line.substr(b + 1);
    if (line[0] == 'd') {
      if (!rebuild_dir(shadow, entry_key, path)) return false;
      continue;
    }
    std::ifstream image(shadow + "/file-" + entry_key, std::ios::binary);
    std::ofstream file(path, std::ios::binary);
    file << image.rdbuf();
  }
  return true;
}

}  // namespace

void record_synced(const std::string& shadow, int fd) {
  struct stat st;
  if (::fstat(fd, &st) == 0) record_at(shadow, fd, st);
}

void record_tree(const std::string& shadow, const std::string& root) {
  record_path(shadow, root);
  const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
  struct stat st;
  if (fd >= 0 && ::fstat(fd, &st) == 0) put(shadow, "top", key_of(fd, st));
  if (fd >= 0) ::close(fd);
}

bool rebuild(const std::string& shadow, const std::string& out) {
  std::ifstream top(shadow + "/top");
  std::string key;
  return static_cast<bool>(top >> key) && rebuild_dir(shadow, key, out);
}
