#include "cli/local/local_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

bool write_scratch_file(const std::string& dir, const std::string& stem,
                        const std::string& content, std::string& path, std::string& error) {
  return write_scratch_file(
      dir, stem, [&content](const ScratchBlockWriter& write) { return write(content); }, path,
      error);
}

bool write_scratch_file(const std::string& dir, const std::string& stem,
                        const std::function<bool(const ScratchBlockWriter& write)>& fill,
                        std::string& path, std::string& error) {
  std::string pattern = dir + "/" + stem + ".XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  // mkstemp makes the file 0600, and so it stays: the manifest names every
  // file of the backup with its checksum, for the owner only.
  path = name.data();
  const auto write_block = [&](std::string_view block) {
    std::size_t written = 0;
    while (written < block.size()) {
      const ssize_t n = write(fd, block.data() + written, block.size() - written);
      if (n < 0) {
        if (errno == EINTR) continue;
        error = std::strerror(errno);
        return false;
      }
      written += static_cast<std::size_t>(n);
    }
    return true;
  };
  if (!fill(write_block)) {
    close(fd);
    unlink(path.c_str());
    return false;
  }
  if (close(fd) != 0) {
    error = std::strerror(errno);
    unlink(path.c_str());
    return false;
  }
  return true;
}

std::string unused_path(const std::string& dir, const std::string& stem) {
  for (unsigned n = static_cast<unsigned>(getpid());; ++n) {
    const std::string path = dir + "/" + stem + "." + std::to_string(n);
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 && errno == ENOENT) return path;
  }
}

bool read_whole_file(const std::string& path, std::string& content, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    error = std::strerror(errno);
    return false;
  }
  content.clear();
  // The size known up front spares the copies of a growing string (and
  // half its memory at the peak: a manifest can be tens of megabytes).
  struct stat info;
  if (fstat(fileno(file), &info) == 0 && info.st_size > 0) {
    content.reserve(static_cast<std::size_t>(info.st_size));
  }
  char buffer[65536];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) content.append(buffer, got);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) error = "read error";
  return !failed;
}
