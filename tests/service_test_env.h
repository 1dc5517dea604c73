// One service under test: a temp folder with the storage root, a local
// root and a folder outside both, the user "alice" (password "s3cret"),
// and the service process.
#ifndef BREVANTO_TESTS_SERVICE_TEST_ENV_H_
#define BREVANTO_TESTS_SERVICE_TEST_ENV_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/service_test_files.h"
#include "tests/service_test_process.h"

struct ServiceEnv {
  // Adds alice and starts the service on `port` (0: any free port), with
  // `options` after the usual ones.
  explicit ServiceEnv(std::uint16_t port = 0, std::vector<std::string> options = {})
      : root(dir.path() + "/root"),
        local(dir.make_dir("local")),
        outside(dir.make_dir("outside")),
        service(root, {local}, dir.path() + "/service.log", std::move(options)) {
    user_added = add_service_user(root, "alice", "s3cret") == 0;
    started = user_added && service.start(port);
  }

  // What alice's default tree holds, asked of the running service: whether
  // `path` ("\\a\\b") is there, and a file's content (downloaded;
  // `present` false when it is not there).
  bool stored(const std::string& path) const;
  std::string stored_content(const std::string& path, bool* present = nullptr) const;
  // Stores an empty file for each of `paths`, with their folders.
  bool seed_files(const std::vector<std::string>& paths) const;

  TempDir dir;
  std::string root;
  std::string local;
  std::string outside;
  ServiceProcess service;
  bool user_added = false;
  bool started = false;
};

#endif  // BREVANTO_TESTS_SERVICE_TEST_ENV_H_
