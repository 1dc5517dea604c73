// Files and folders for the service's end-to-end tests.
#ifndef BREVANTO_TESTS_SERVICE_TEST_FILES_H_
#define BREVANTO_TESTS_SERVICE_TEST_FILES_H_

#include <cstddef>
#include <string>
#include <vector>

// A fresh folder under /tmp, removed with its content (never following a
// link) when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path()/name, made as a folder.
  std::string make_dir(const std::string& name) const;

 private:
  std::string path_;
};

bool write_file(const std::string& path, const std::string& content);
// The file's bytes; `ok` (when given) tells whether it could be read.
std::string read_file(const std::string& path, bool* ok = nullptr);
bool path_exists(const std::string& path);  // without following a link

// `size` bytes of a pattern that differs with `seed`.
std::string pattern_bytes(std::size_t size, unsigned seed);

// Every entry below `dir`, as paths relative to it, sorted.
std::vector<std::string> tree_listing(const std::string& dir);

// UTF-8 (here: ASCII) to wide, for the client's wide interface.
std::wstring widen(const std::string& text);

#endif  // BREVANTO_TESTS_SERVICE_TEST_FILES_H_
