// The default project is the empty name, as the library and the service
// call it. What an earlier version stored in its default project, named
// "default", is pointed out instead of a bare "not found".
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/cli_support/cli_runner.h"
#include "tests/cli_support/service_process.h"

namespace {

const char kHint[] = " in the default project; it was stored in the project \"default\" by an "
                     "earlier version of brevanto: add --project default\n";

TEST(CliProject, WhatAnEarlierVersionStoredIsPointedOut) {
  const TempDir temp;
  const std::string local = temp.path() + "/local";
  const std::string restore = temp.path() + "/restore";
  write_file(local + "/a.txt", "alpha");
  std::filesystem::create_directories(restore);
  const ServiceProcess service(temp.path(), "ann", "pw", {local, restore});
  const auto run = [&](const std::vector<std::string>& args) {
    return run_cli(args, temp.path(), {{"BREVANTO_PASSWORD", "pw"}, {"BREVANTO_USER", "ann"}});
  };
  ASSERT_EQ(run({"--project", "default", "backup", "local", "\\bk"}).exit_code, 0);

  const struct {
    std::vector<std::string> args;
    int exit_code;
    std::string err;  // what stderr ends with
  } cases[] = {
      {{"restore", "\\bk", "restore/copy"}, 1, std::string("restore: \\bk: not found") + kHint},
      {{"check", "\\bk", "restore"}, 1, std::string("check: \\bk holds no backup") + kHint},
      {{"ls", "\\bk"}, 1, std::string("ls \\bk: not found") + kHint},
      // Not there either: the plain failure.
      {{"ls", "\\nowhere"}, 1, "ls \\nowhere: failed with -3 (service error 3: not found)\n"},
      {{"--project", "default", "restore", "\\bk", "restore/copy"}, 0, ""},
      // A first backup in the default project goes on, and says so at its end.
      {{"backup", "local", "\\bk"}, 0,
       "backup: the last backup of \\bk was made in the project \"default\" by an earlier "
       "version of brevanto; this one went to the default project and sent every file (add "
       "--project default to go on with that one)\n"},
      {{"ls", "\\bk\\a.txt"}, 0, ""},
  };
  for (const auto& c : cases) {
    const CliResult result = run(c.args);
    EXPECT_EQ(result.exit_code, c.exit_code) << c.args[0] << ": " << result.err;
    EXPECT_TRUE(result.err.size() >= c.err.size() &&
                result.err.compare(result.err.size() - c.err.size(), c.err.size(), c.err) == 0)
        << c.args[0] << ": " << result.err;
  }
}

}  // namespace
