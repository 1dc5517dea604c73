// The command line on the cloud back end: the stand-in Quorvel library
// keeping its cloud in a temporary folder.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "cli/testing/cli_runner.h"

namespace {

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class CliCloud : public ::testing::Test {
 protected:
  CliResult brevanto(std::vector<std::string> args, const std::string& password = "pw") {
    args.insert(args.begin(), {"--backend", "cloud", "--user", "ann"});
    return run_cli(args, temp.path(),
                   {{"BREVANTO_PASSWORD", password}, {"QUORVEL_ROOT", temp.path() + "/cloud"}});
  }
  TempDir temp;
};

TEST_F(CliCloud, BacksUpTwiceAndRestoresTheLatestTree) {
  write_file(temp.path() + "/src/a.txt", "first");
  write_file(temp.path() + "/src/sub/\xC3\xA9t\xC3\xA9.txt", "summer");
  ASSERT_EQ(brevanto({"backup", "src", "\\bk"}).exit_code, 0);
  write_file(temp.path() + "/src/a.txt", "second, longer");
  // The cloud library has no update: a changed file is uploaded anew; the
  // unchanged one is not sent.
  const CliResult again = brevanto({"backup", "src", "\\bk"});
  ASSERT_EQ(again.exit_code, 0) << again.err;
  EXPECT_NE(again.out.find("1 updated, 1 unchanged"), std::string::npos) << again.out;

  const CliResult restore = brevanto({"restore", "\\bk", "out", "--verify"});
  ASSERT_EQ(restore.exit_code, 0) << restore.err;
  EXPECT_EQ(read_text(temp.path() + "/out/a.txt"), "second, longer");
  EXPECT_EQ(read_text(temp.path() + "/out/sub/\xC3\xA9t\xC3\xA9.txt"), "summer");

  const CliResult df = brevanto({"df"});
  EXPECT_EQ(df.exit_code, 0);
  EXPECT_NE(df.out.find("free:"), std::string::npos) << df.out;
}

TEST_F(CliCloud, AWrongPasswordIsRefused) {
  ASSERT_EQ(brevanto({"mkdir", "\\d"}).exit_code, 0);  // creates the account
  const CliResult refused = brevanto({"ls", "\\"}, "wrong");
  EXPECT_EQ(refused.exit_code, 3);
  EXPECT_NE(refused.err.find("login"), std::string::npos) << refused.err;
}

}  // namespace
