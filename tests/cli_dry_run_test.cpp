// backup --dry-run against the reference service: it names what a backup
// would add, update, create and delete, and changes nothing, so the backup
// after it does exactly that.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/cli_support/cli_runner.h"
#include "tests/cli_support/service_process.h"

namespace {

namespace fs = std::filesystem;

TEST(CliDryRun, NamesWhatTheBackupWouldDoAndChangesNothing) {
  TempDir temp;
  const std::string local = temp.path() + "/local";
  write_file(local + "/same.txt", "same");
  write_file(local + "/changed.txt", "old");
  write_file(local + "/gone.txt", "gone");
  const ServiceProcess service(temp.path(), "ann", "pw", {local});
  const auto run = [&](const std::vector<std::string>& args) {
    return run_cli(args, temp.path(), {{"BREVANTO_PASSWORD", "pw"}, {"BREVANTO_USER", "ann"}});
  };
  CliResult result = run({"backup", "--dry-run", "local", "\\bk"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("would create directory \\bk\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("would add 3 and update 0 files"), std::string::npos) << result.out;
  EXPECT_NE(run({"exists", "\\bk"}).exit_code, 0);  // nothing was created

  ASSERT_EQ(run({"backup", "local", "\\bk"}).exit_code, 0);
  write_file(local + "/changed.txt", "new content");
  write_file(local + "/new/n.txt", "n");
  fs::remove(local + "/gone.txt");
  const std::vector<std::string> lines = {
      "would create directory new\n", "would add new/n.txt (1 B)\n",
      "would update changed.txt (11 B)\n", "would delete gone.txt\n",
      "would add 1 and update 1 files (12 B), create 1 directories, delete 1 entries; 1 "
      "unchanged"};
  for (int pass = 0; pass < 2; ++pass) {  // the second: nothing changed by the first
    result = run({"backup", "--dry-run", "--delete", "local", "\\bk"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    for (const std::string& line : lines) {
      EXPECT_NE(result.out.find(line), std::string::npos) << line << result.out;
    }
    EXPECT_EQ(result.out.find("same.txt"), std::string::npos) << result.out;
  }
  result = run({"backup", "--delete", "local", "\\bk"});
  EXPECT_NE(result.out.find("1 added, 1 updated, 1 unchanged, 1 deleted, 1 directories created"),
            std::string::npos)
      << result.out;
}

}  // namespace
