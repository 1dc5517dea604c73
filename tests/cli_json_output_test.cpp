// What backup, restore and the other commands print: without a terminal
// and without -v a summary only; with --json nothing but JSON lines, a name
// of any bytes among them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/cli_support/cli_runner.h"
#include "tests/cli_support/json_check.h"
#include "tests/cli_support/service_process.h"

namespace {

// The lines of `output`; a line that is no JSON object fails the test.
std::vector<std::string> json_lines(const std::string& output) {
  std::vector<std::string> lines = split_lines(output);
  for (const std::string& line : lines) EXPECT_TRUE(is_json_object(line)) << line;
  return lines;
}

std::size_t count_holding(const std::vector<std::string>& lines, const std::string& part) {
  return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.find(part) != std::string::npos;
  });
}

TEST(CliJsonOutput, SummariesLinesPerFileAndJson) {
  const TempDir temp;
  const std::string local = temp.path() + "/local";
  write_file(local + "/a.txt", "alpha");
  write_file(local + "/sub/b\xff.txt", "odd name");
  write_file(local + "/sub/c.txt", std::string(70000, 'c'));
  std::filesystem::create_directories(temp.path() + "/restore");
  const ServiceProcess service(temp.path(), "ann", "pw", {local, temp.path() + "/restore"});
  const auto run = [&](const std::vector<std::string>& args) {
    return run_cli(args, temp.path(), {{"BREVANTO_PASSWORD", "pw"}, {"BREVANTO_USER", "ann"}});
  };

  // Without a terminal: the summary only; -v adds a line per file.
  CliResult result = run({"backup", "local", "\\bk"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_NE(result.out.find("3 added, 0 updated"), std::string::npos) << result.out;
  result = run({"-v", "restore", "\\bk", "restore/copy"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(count_holding(split_lines(result.err), "] restored "), 3u) << result.err;

  // --json: status, a line per file with -v, the summary; problems on stderr.
  write_file(local + "/a.txt", "changed");
  result = run({"--json", "-v", "backup", "local", "\\bk"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  std::vector<std::string> lines = json_lines(result.out);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.front().rfind("{\"message_type\":\"status\",", 0), 0u) << lines.front();
  EXPECT_EQ(count_holding(lines, "\"action\":\"updated\",\"item\":\"a.txt\",\"size\":7}"), 1u);
  EXPECT_NE(lines.back().find("\"files_changed\":1,\"files_unmodified\":2,"), std::string::npos);
  EXPECT_NE(lines.back().find("\"state\":\"done\",\"exit_code\":0}"), std::string::npos);

  result = run({"--json", "-v", "restore", "--verify", "\\bk", "restore/copy2"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  lines = json_lines(result.out);
  EXPECT_EQ(count_holding(lines, "\"item\":\"sub/b\\\\xff.txt\",\"item_hex\":\"7375622f62ff2e747874\""),
            1u)
      << result.out;
  EXPECT_NE(lines.back().find("\"files_restored\":3,\"files_failed\":0,"), std::string::npos);

  result = run({"--json", "restore", "\\nowhere", "restore/x"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(count_holding(json_lines(result.err), "{\"message_type\":\"error\","), 1u);

  // The other commands: one JSON line each.
  const struct {
    std::vector<std::string> args;
    std::string part;
  } cases[] = {
      {{"--json", "ls", "\\bk"}, "{\"path\":\"\\\\bk\",\"entries\":[{"},
      {{"stat", "\\bk\\a.txt", "--json"}, "\"size\":7,"},
      {{"--json", "exists", "\\bk\\a.txt"}, "\"exists\":true"},
      {{"--json", "mkdir", "\\new"}, "\"created\":true"},
      {{"--json", "rmdir", "\\new"}, "\"removed\":true"},
      {{"--json", "get", "\\bk\\a.txt", "restore/a.txt"}, "\"bytes\":7,"},
      {{"--json", "check", "\\bk", "restore"}, "\"problems\":0,"},
      {{"--json", "snapshots", "--scratch-dir", "restore", "\\bk"}, "\"files\":3,\"bytes\":70015,"},
      {{"--json", "ls", "--at", "latest", "\\bk"}, "\"point\":\""},
      {{"--json", "diff", "--scratch-dir", "restore", "latest", "\\bk"},
       "{\"message_type\":\"statistics\",\"remote\":\"\\\\bk\",\"source_snapshot\":\""},
  };
  for (const auto& c : cases) {
    result = run(c.args);
    EXPECT_EQ(result.exit_code, 0) << c.args[1] << ": " << result.err;
    lines = json_lines(result.out);
    EXPECT_TRUE(!lines.empty() && lines.back().find(c.part) != std::string::npos)
        << c.args[1] << ": " << result.out;
  }
}

}  // namespace
