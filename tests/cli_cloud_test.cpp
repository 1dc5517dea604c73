// The command line on the cloud back end: the stand-in Quorvel library
// keeping its cloud in a temporary folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "cli/output/text_width.h"
#include "tests/cli_support/cli_runner.h"

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

// The stand-in's plans: 100 MiB, then x4 per step up to plan 3.
TEST_F(CliCloud, AFullPlanNamesTheUpgradeWhichNeedsAValidCard) {
  const std::string big = temp.path() + "/big.bin";
  write_file(big, "");
  std::filesystem::resize_file(big, (100 << 20) + 1);  // sparse; refused before any copy
  const CliResult full = brevanto({"put", "big.bin", "\\"});
  EXPECT_EQ(full.exit_code, 1);
  EXPECT_NE(full.err.find("the plan is full"), std::string::npos) << full.err;
  EXPECT_NE(full.err.find("brevanto --backend cloud plan --upgrade"), std::string::npos) << full.err;

  const CliResult shown = brevanto({"plan"});
  EXPECT_EQ(shown.exit_code, 0) << shown.err;
  EXPECT_NE(shown.out.find("card:    valid\nused:    0 bytes (0 B)\nallowed: 104857600 bytes"),
            std::string::npos) << shown.out;

  const auto set_card = [this](char state) {
    const std::string account = temp.path() + "/cloud/account";
    std::string text = read_text(account);
    text[text.find("card ") + 5] = state;
    write_file(account, text);
  };
  const std::string at_plan_0 = "\"allowed\":104857600,";
  for (const auto& [card, why] : {std::pair{'1', "no payment card"}, {'2', "has expired"}}) {
    set_card(card);
    const CliResult refused = brevanto({"plan", "--upgrade"});
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_NE(refused.err.find(why), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("the plan was not changed"), std::string::npos) << refused.err;
    EXPECT_NE(brevanto({"--json", "plan"}).out.find(at_plan_0), std::string::npos);
  }
  set_card('0');
  const CliResult upgraded = brevanto({"plan", "--upgrade", "--json"});
  EXPECT_EQ(upgraded.exit_code, 0) << upgraded.err;
  EXPECT_EQ(upgraded.out,
            "{\"backend\":\"cloud\",\"card\":\"valid\",\"upgraded\":true,"
            "\"allowed_before\":104857600,\"used\":0,\"allowed\":419430400,"
            "\"free\":419430400}\n");
  EXPECT_EQ(brevanto({"plan", "--upgrade"}).exit_code, 0);
  const CliResult top = brevanto({"plan", "--upgrade"});
  EXPECT_EQ(top.exit_code, 0);
  EXPECT_NE(top.out.find("allows 6.2 GiB (was 1.6 GiB)"), std::string::npos) << top.out;
  const CliResult beyond = brevanto({"plan", "--upgrade"});
  EXPECT_EQ(beyond.exit_code, 1);
  EXPECT_NE(beyond.err.find("already on the largest plan"), std::string::npos) << beyond.err;
}

TEST_F(CliCloud, AWrongPasswordIsRefused) {
  ASSERT_EQ(brevanto({"mkdir", "\\d"}).exit_code, 0);  // creates the account
  const CliResult refused = brevanto({"ls", "\\"}, "wrong");
  EXPECT_EQ(refused.exit_code, 3);
  EXPECT_NE(refused.err.find("login"), std::string::npos) << refused.err;
}

TEST_F(CliCloud, ProgressBarsFitA40ColumnTerminalWithWideNames) {
  for (const char* name : {"日本語のフォルダ/絵文字😀😀😀のファイル名前.txt",
                           "日本語のフォルダ/😀😀😀😀😀😀😀😀😀😀😀😀.bin", "短い.txt"}) {
    write_file(temp.path() + "/src/" + name, std::string(100000, 'x'));
  }
  // script(1) runs the program on a pseudo-terminal of 40 columns and keeps
  // everything it draws.
  const std::string typescript = temp.path() + "/typescript";
  const std::string command =
      "cd '" + temp.path() + "' && BREVANTO_PASSWORD=pw QUORVEL_ROOT=cloud script -qec "
      "\"stty cols 40 rows 20; '" BREVANTO_CLI_PATH "' --backend cloud --user ann backup src /bk\" '" +
      typescript + "' >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string screen = read_text(typescript);
  // Every redraw starts with "\r\x1b[K"; no piece between two line starts may
  // fill the 40th column, or the terminal wraps it and leaves it behind.
  std::size_t bars = 0;
  std::size_t from = 0;
  while (from < screen.size()) {
    std::size_t end = screen.find_first_of("\r\n", from);
    if (end == std::string::npos) end = screen.size();
    const std::string piece = screen.substr(from, end - from);
    from = end + 1;
    if (piece.rfind("\x1b[K[", 0) != 0) continue;  // not a bar: a message or the summary
    EXPECT_LT(display_width(piece.substr(3)), 40) << piece;
    ++bars;
  }
  EXPECT_GE(bars, 3u) << screen;
}

}  // namespace
