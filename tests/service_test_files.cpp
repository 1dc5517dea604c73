#include "tests/service_test_files.h"

#include <dirent.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

namespace {

int remove_one(const char* path, const struct stat*, int, struct FTW*) {
  return ::remove(path);
}

void walk(const std::string& dir, const std::string& prefix, std::vector<std::string>* out) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string rel = prefix.empty() ? name : prefix + "/" + name;
    out->push_back(rel);
    struct stat st;
    if (::lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      walk(dir + "/" + name, rel, out);
    }
  }
  ::closedir(d);
}

}  // namespace

TempDir::TempDir() {
  char templ[] = "/tmp/brevanto-service-test-XXXXXX";
  const char* made = ::mkdtemp(templ);
  path_ = made ? made : "";
}

TempDir::~TempDir() {
  if (!path_.empty()) ::nftw(path_.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TempDir::make_dir(const std::string& name) const {
  const std::string dir = path_ + "/" + name;
  ::mkdir(dir.c_str(), 0755);
  return dir;
}

bool write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return static_cast<bool>(out);
}

std::string read_file(const std::string& path, bool* ok) {
  std::ifstream in(path, std::ios::binary);
  if (ok) *ok = static_cast<bool>(in);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

bool path_exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string pattern_bytes(std::size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; i += 4) {
    const std::uint32_t v = gen();
    for (std::size_t k = 0; k < 4 && i + k < size; ++k) out[i + k] = static_cast<char>(v >> (8 * k));
  }
  return out;
}

std::vector<std::string> tree_listing(const std::string& dir) {
  std::vector<std::string> out;
  walk(dir, "", &out);
  std::sort(out.begin(), out.end());
  return out;
}

std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }
