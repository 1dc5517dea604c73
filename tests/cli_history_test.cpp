// Earlier versions through the command line, against the reference service:
// the points backups make, a restore, a diff and a find at a point, and
// backups to the top that leave "\.history" alone.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/cli_support/cli_runner.h"
#include "tests/cli_support/json_check.h"
#include "tests/cli_support/service_process.h"

namespace {

namespace fs = std::filesystem;

class CliHistory : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(local);
    fs::create_directories(restore);
    service = std::make_unique<ServiceProcess>(temp.path(), "ann", "pw",
                                               std::vector<std::string>{local, restore});
  }
  CliResult run(const std::vector<std::string>& args) {
    return run_cli(args, temp.path(), {{"BREVANTO_PASSWORD", "pw"}, {"BREVANTO_USER", "ann"}});
  }
  // The service makes one point for the logouts of one second: the next
  // change must come in a later one to make a point of its own.
  static void next_second() {
    const std::time_t now = std::time(nullptr);
    while (std::time(nullptr) == now) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // The point names `snapshots` lists (for a backup folder: its backups).
  std::vector<std::string> points(const std::string& remote = "") {
    std::vector<std::string> args = {"snapshots"};
    if (!remote.empty()) args.push_back(remote);
    const CliResult result = run(args);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    std::vector<std::string> names;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
      if (line.size() > 18 && line[10] == 'T' && line[17] == 'Z') {
        names.push_back(line.substr(0, 18));
      }
    }
    return names;
  }

  TempDir temp;
  const std::string local = temp.path() + "/local";
  const std::string restore = temp.path() + "/restore";
  std::unique_ptr<ServiceProcess> service;
};

TEST_F(CliHistory, LastWeeksVersionComesBackExactly) {
  write_file(local + "/a.txt", "first");
  chmod((local + "/a.txt").c_str(), 0640);
  write_file(local + "/sub/b.txt", "bee");
  write_file(local + "/gone.txt", "gone");
  ASSERT_EQ(run({"backup", "local", "\\bk"}).exit_code, 0);
  next_second();
  write_file(local + "/a.txt", "second!");
  chmod((local + "/a.txt").c_str(), 0600);
  fs::remove(local + "/gone.txt");
  write_file(local + "/new.txt", "new");
  ASSERT_EQ(run({"backup", "--delete", "local", "\\bk"}).exit_code, 0);
  next_second();
  // Changed behind the manifest's back: a point, but no backup.
  write_file(temp.path() + "/local/other.txt", "behind");
  ASSERT_EQ(run({"update", "local/other.txt", "\\bk\\a.txt"}).exit_code, 0);

  // A backup's clients log out together, in one second or (seldom) two.
  const std::vector<std::string> all = points();
  const std::vector<std::string> backups = points("\\bk");
  ASSERT_EQ(backups.size(), 2u);
  ASSERT_GE(all.size(), 3u);
  EXPECT_EQ(all.front(), backups[0]);
  EXPECT_LT(backups[1], all.back());

  CliResult result = run({"diff", "--scratch-dir", "restore", backups[0], backups[1], "\\bk"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("\n\nM    /a.txt\n-    /gone.txt\n+    /new.txt\n\nFiles:           "
                            "1 new,     1 removed,     1 changed\n"),
            std::string::npos)
      << result.out;

  // The first backup, whole and in parts, byte for byte with its modes.
  result = run({"restore", "--at", backups[0], "--verify", "\\bk", "restore/all"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_EQ(read_file(restore + "/all/a.txt"), "first");
  EXPECT_EQ(mode_of(restore + "/all/a.txt"), 0640);
  EXPECT_EQ(read_file(restore + "/all/gone.txt"), "gone");
  EXPECT_FALSE(fs::exists(restore + "/all/new.txt"));
  ASSERT_EQ(run({"restore", "--at", backups[0], "\\bk\\a.txt", "restore/one"}).exit_code, 0);
  EXPECT_EQ(read_file(restore + "/one/a.txt"), "first");
  EXPECT_EQ(mode_of(restore + "/one/a.txt"), 0640);
  result = run({"get", "--at", backups[0], "\\bk\\gone.txt", "restore/got.txt"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(read_file(restore + "/got.txt"), "gone");

  // The newest point holds a file changed after the last backup: the
  // restore takes the backup as it was completed.
  result = run({"restore", "--at", "latest", "--verify", "\\bk", "restore/latest"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_EQ(read_file(restore + "/latest/a.txt"), "second!");

  // find: the backups holding matching entries, each with what it held.
  struct FindCase {
    std::vector<std::string> args;  // after "--json find"
    int exit_code;
    std::vector<std::string> lines;  // a part of each line, one line a backup
  };
  const std::string a1 = R"("hits":1,"matches":[{"path":"/a.txt","type":"file","size":5,)";
  const std::string a2 = R"("hits":1,"matches":[{"path":"/a.txt","type":"file","size":7,)";
  const std::string b = R"("hits":1,"matches":[{"path":"/sub/b.txt","type":"file","size":3,)";
  const std::vector<FindCase> finds = {
      {{"a.txt", "\\bk"}, 0, {a1, a2}},
      {{"A.TXT", "\\bk"}, 1, {}},
      {{"-i", "A.TXT", "\\bk"}, 0, {a1, a2}},
      {{"gone.*"}, 0, {R"("hits":1,"matches":[{"path":"/gone.txt")"}},
      {{"sub/*"}, 0, {b, b}},  // the end of the path
      {{"/b.txt"}, 1, {}},     // the whole path
      {{"sub/"}, 0, {R"("matches":[{"path":"/sub/","type":"dir","size":null,)", "/sub/"}},
      {{"*.txt", "\\bk"}, 0, {R"("hits":3,)", R"("hits":3,)"}},
      {{"a.txt", "\\nowhere"}, 1, {}},
  };
  for (const FindCase& c : finds) {
    std::vector<std::string> args = {"--json", "find", "--scratch-dir", "restore"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    result = run(args);
    EXPECT_EQ(result.exit_code, c.exit_code) << c.args[0] << result.err;
    std::istringstream lines(result.out);
    std::size_t n = 0;
    for (std::string line; std::getline(lines, line); ++n) {
      ASSERT_LT(n, c.lines.size()) << c.args[0] << result.out;
      EXPECT_TRUE(is_json_object(line)) << line;
      EXPECT_NE(line.find(R"("point":")" + backups[n] + "\""), std::string::npos) << line;
      EXPECT_NE(line.find(c.lines[n]), std::string::npos) << c.args[0] << line;
    }
    EXPECT_EQ(n, c.lines.size()) << c.args[0] << result.out;
  }
  result = run({"find", "--scratch-dir", "restore", "a.txt"});
  EXPECT_NE(result.out.find("Found matching entries in \\bk at " + backups[1]), std::string::npos);
  EXPECT_NE(result.out.find("-rw-------             7  "), std::string::npos) << result.out;

  result = run({"restore", "--at", "2000-01-01", "\\bk", "restore/none"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("restore --at 2000-01-01: no point at or before 2000-01-01 23:59:59"),
            std::string::npos)
      << result.err;
  EXPECT_FALSE(fs::exists(restore + "/none"));
}

// A file with two names is stored under each: the backup, check and
// snapshots count both, so one backup shows one size everywhere.
TEST_F(CliHistory, SnapshotsCountABackupAsTheBackupDid) {
  write_file(local + "/photo.jpg", std::string(5000, 'p'));
  write_file(local + "/notes.txt", "bee");
  fs::create_hard_link(local + "/photo.jpg", local + "/cover.jpg");
  const std::string three_files = R"("total_files":3,"total_bytes":10003,)";
  CliResult result = run({"--json", "backup", "local", "\\bk"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find(three_files), std::string::npos) << result.out;
  result = run({"--json", "check", "\\bk", "restore"});
  EXPECT_NE(result.out.find(three_files), std::string::npos) << result.out;
  result = run({"--json", "snapshots", "--scratch-dir", "restore", "\\bk"});
  EXPECT_NE(result.out.find(R"("files":3,"bytes":10003,)"), std::string::npos) << result.out;
}

TEST_F(CliHistory, BackupsToTheTopLeaveHistoryAlone) {
  write_file(local + "/a.txt", "a");
  write_file(local + "/.history", "a shell's history");
  CliResult result = run({"backup", "local", "\\"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.err.find("backup: skipped .history"), std::string::npos) << result.err;
  next_second();
  fs::remove(local + "/a.txt");
  result = run({"backup", "--delete", "local", "\\"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_GE(points().size(), 2u);

  result = run({"ls", "\\"});
  EXPECT_EQ(result.out, "\\.brevanto-manifest\n") << result.err;
  EXPECT_NE(run({"ls", "-a", "\\"}).out.find("\\.history\\\n"), std::string::npos);
  EXPECT_EQ(run({"ls", "--at", points()[0], "\\"}).out, "\\.brevanto-manifest\n\\a.txt\n");
  result = run({"backup", "local", "\\.history\\x"});
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_NE(result.err.find("cannot be changed"), std::string::npos) << result.err;
}

}  // namespace
