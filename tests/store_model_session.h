// One connection of the store's model-based test: the requests it sends,
// on the wire, and the final reply of each (progress reports skipped).
#ifndef BREVANTO_TESTS_STORE_MODEL_SESSION_H_
#define BREVANTO_TESTS_STORE_MODEL_SESSION_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tests/service_test_wire.h"

struct Answer {
  bool replied = false;  // false: the connection closed (or stayed silent 10 s)
  int errcode = 0;       // 0 for success
  bool ok() const { return replied && errcode == 0; }
};

struct ListedEntry {
  std::string path;  // ParentDir and Name, without the leading backslash
  bool is_dir = false;
};

class ModelSession {
 public:
  // Connects at once: the socket belongs to the calling thread's fsuid.
  explicit ModelSession(std::uint16_t port) : wire_(port) {}

  bool connected() const { return wire_.connected(); }
  bool login(const std::string& user, const std::string& password, const std::string& project);

  // Storage paths are given without the leading backslash.
  Answer add_file(const std::string& path, const std::string& local);
  Answer update_file(const std::string& path, const std::string& local);
  Answer download(const std::string& path, const std::string& local);
  Answer remove(const std::string& path);
  Answer add_dir(const std::string& path);
  // Appends the entries below `start`; a failed listing may leave some.
  Answer list(const std::string& start, bool recursive, std::vector<ListedEntry>* out);
  Answer logout();
  // Leaves without a logout.
  void close() { wire_.close(); }

 private:
  Answer transfer(const char* request, const std::string& path, const std::string& local);
  Answer exchange(const std::string& request);

  WireClient wire_;
  std::string id_;
};

#endif  // BREVANTO_TESTS_STORE_MODEL_SESSION_H_
