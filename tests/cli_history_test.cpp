// Earlier versions through the command line, against the reference service:
// the points backups make, a restore and a diff at a point, and backups to
// the top that leave "\.history" alone.
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

  result = run({"restore", "--at", "2000-01-01", "\\bk", "restore/none"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("restore --at 2000-01-01: no point at or before 2000-01-01 23:59:59"),
            std::string::npos)
      << result.err;
  EXPECT_FALSE(fs::exists(restore + "/none"));
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
