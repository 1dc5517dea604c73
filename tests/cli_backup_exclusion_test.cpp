// A backup of a home folder that holds the service's own storage, as the
// shipped systemd unit sets it up: the store is never backed up, and the
// exclusion options leave out what they name.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/cli_support/cli_runner.h"
#include "tests/cli_support/service_process.h"

namespace {

TEST(CliBackupExclusion, AHomeFolderHoldingTheStoreBacksUp) {
  const TempDir home;
  const std::string& dir = home.path();
  // The service keeps its storage (and its log) inside the home folder.
  const ServiceProcess service(dir, "ann", "pw", {dir});
  write_file(dir + "/docs/a.txt", "a");
  write_file(dir + "/docs/private/key", "secret");
  write_file(dir + "/big.bin", std::string(2048, 'b'));
  write_file(dir + "/x.log", "log");
  write_file(dir + "/.cache/CACHEDIR.TAG", "Signature: 8a477f597d28d172789f06886806bc55\n");
  write_file(dir + "/.cache/blob", "blob");
  write_file(dir + "/excludes", "# the service's own files\nservice.*\ndocs/private/\n");
  const std::vector<std::pair<std::string, std::string>> env = {{"BREVANTO_PASSWORD", "pw"},
                                                                {"BREVANTO_USER", "ann"}};
  const std::vector<std::string> backup = {
      "backup", "--exclude", "*.log", "--exclude", "!storage", "--exclude-file", "excludes",
      "--exclude-caches", "--exclude-larger-than", "1K", ".", "\\home"};
  for (int run = 0; run < 2; ++run) {  // the second run finds its own store again
    const CliResult result = run_cli(backup, dir, env);
    ASSERT_EQ(result.exit_code, 0) << result.err << result.out;
    EXPECT_NE(result.err.find("skipped storage: the storage root of a brevanto-service"),
              std::string::npos)
        << result.err;
  }
  const CliResult listing = run_cli({"ls", "-r", "\\home"}, dir, env);
  EXPECT_EQ(listing.out,
            "\\home\\.brevanto-manifest\n"
            "\\home\\.cache\\\n"
            "\\home\\.cache\\CACHEDIR.TAG\n"
            "\\home\\docs\\\n"
            "\\home\\docs\\a.txt\n"
            "\\home\\excludes\n");
}

}  // namespace
