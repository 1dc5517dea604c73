// check against the reference service: a backup whose stored files are all
// there passes; a missing file or a changed size fails the listing check,
// and a changed content of the same size fails only --read-data.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/cli_support/cli_runner.h"
#include "tests/cli_support/service_process.h"

namespace {

struct CheckCase {
  std::vector<std::string> tamper;  // a command run after the backup
  int exit_code;                    // of check
  int read_data_exit_code;          // of check --read-data
  std::string err;                  // a part of both checks' stderr
};

TEST(CliCheck, FindsWhatTheStorageLostOrChanged) {
  TempDir temp;
  const std::string local = temp.path() + "/local";
  const std::string other = temp.path() + "/other";
  write_file(local + "/a.txt", "alpha");
  write_file(local + "/sub/b.txt", "beta");
  write_file(other + "/same-size.txt", "ALPHA");
  write_file(other + "/longer.txt", "alpha and more");
  const ServiceProcess service(temp.path(), "ann", "pw", {local, other});
  const auto run = [&](const std::vector<std::string>& args) {
    return run_cli(args, temp.path(), {{"BREVANTO_PASSWORD", "pw"}, {"BREVANTO_USER", "ann"}});
  };
  const std::vector<CheckCase> cases = {
      {{}, 0, 0, ""},
      {{"rm", "\\bk1\\sub\\b.txt"}, 1, 1, "check: missing sub/b.txt"},
      {{"update", "other/longer.txt", "\\bk2\\a.txt"}, 1, 1,
       "check: a.txt: stored size 14, the manifest says 5"},
      {{"update", "other/same-size.txt", "\\bk3\\a.txt"}, 0, 1, ""},
  };
  for (std::size_t n = 0; n < cases.size(); ++n) {
    const CheckCase& c = cases[n];
    const std::string remote = "\\bk" + std::to_string(n);
    ASSERT_EQ(run({"backup", "local", remote}).exit_code, 0);
    if (!c.tamper.empty()) {
      ASSERT_EQ(run(c.tamper).exit_code, 0);
    }
    const CliResult plain = run({"check", remote, "other"});
    EXPECT_EQ(plain.exit_code, c.exit_code) << n << plain.out << plain.err;
    EXPECT_NE(plain.err.find(c.err), std::string::npos) << n << plain.err;
    const CliResult read = run({"check", "--read-data", remote, "other"});
    EXPECT_EQ(read.exit_code, c.read_data_exit_code) << n << read.out << read.err;
    EXPECT_NE(read.err.find(c.err), std::string::npos) << n << read.err;
    if (n == 3) {
      EXPECT_NE(read.err.find("check: a.txt: SHA-256 differs"), std::string::npos) << read.err;
    }
  }
  for (const auto& item : std::filesystem::directory_iterator(other)) {  // scratch files gone
    EXPECT_EQ(item.path().filename().string().rfind(".brevanto", 0), std::string::npos)
        << item.path();
  }
  const CliResult none = run({"check", "\\nothing", "other"});
  EXPECT_EQ(none.exit_code, 1);
  EXPECT_NE(none.err.find("holds no manifest"), std::string::npos) << none.err;
}

}  // namespace
