// A restore against the reference service when the target or the manifest
// is hostile: a manifest lives in the storage, where anyone with the account
// can change it, and a target may hold links. Nothing is written through a
// link the restore did not make, no special mode bit comes back unasked,
// a bad manifest line costs that line only, and a line whose numbers are
// damaged costs those numbers only.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli_support/cli_runner.h"
#include "tests/cli_support/service_process.h"

namespace {

namespace fs = std::filesystem;

class CliRestoreSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(local + "/a.txt", "alpha");
    write_file(local + "/sub/b.txt", "beta");
    fs::create_directories(restore);
    service = std::make_unique<ServiceProcess>(temp.path(), "ann", "pw",
                                               std::vector<std::string>{local, restore});
    ASSERT_EQ(run({"backup", "local", "\\bk"}).exit_code, 0);
  }
  CliResult run(const std::vector<std::string>& args) {
    return run_cli(args, temp.path(), {{"BREVANTO_PASSWORD", "pw"}, {"BREVANTO_USER", "ann"}});
  }

  TempDir temp;
  const std::string local = temp.path() + "/local";
  const std::string restore = temp.path() + "/restore";
  std::unique_ptr<ServiceProcess> service;
};

TEST_F(CliRestoreSafety, NeverWritesThroughALinkInTheTarget) {
  const std::string elsewhere = restore + "/elsewhere";
  const std::string victim = restore + "/victim.txt";
  fs::create_directories(elsewhere);
  write_file(victim, "keep");
  chmod(victim.c_str(), 0600);
  fs::create_directories(restore + "/copy");
  symlink(elsewhere.c_str(), (restore + "/copy/sub").c_str());
  symlink(victim.c_str(), (restore + "/copy/a.txt").c_str());

  const CliResult result = run({"restore", "\\bk", "restore/copy"});
  EXPECT_EQ(result.exit_code, 1) << result.out;
  EXPECT_NE(result.err.find("sub is a symbolic link"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("a.txt is a symbolic link"), std::string::npos) << result.err;
  EXPECT_TRUE(fs::is_empty(elsewhere));
  EXPECT_EQ(read_file(victim), "keep");
  EXPECT_EQ(mode_of(victim), 0600);

  // Nor are links or hard links made through one.
  const std::string hex(64, 'a');
  write_file(local + "/manifest", "# brevanto manifest 2\n# file 5 1 0644\n" + hex +
                                      "  a.txt\n# hardlink sub/h.txt\n# file 5 1 0644\n" + hex +
                                      "  sub/h.txt\n# hardlink a.txt\n# link 1 5 sub/l /etc\n");
  ASSERT_EQ(run({"update", "local/manifest", "\\bk\\.brevanto-manifest"}).exit_code, 0);
  const CliResult again = run({"restore", "\\bk", "restore/copy"});
  EXPECT_EQ(again.exit_code, 1) << again.err;
  EXPECT_NE(again.err.find("sub is a symbolic link"), std::string::npos) << again.err;
  EXPECT_TRUE(fs::is_empty(elsewhere));
  EXPECT_EQ(read_file(victim), "keep");
}

struct HostileCase {
  std::string lines;  // after the header and "# dir 0777 0 ."
  std::vector<std::string> extra_args;
  int exit_code;
  std::string err;     // a part of stderr
  bool a_restored;
  bool b_restored;
  int a_mode;  // when restored; -1: not checked
  std::string out = "";  // a part of stdout
};

TEST_F(CliRestoreSafety, AHostileManifestCostsItsBadLinesOnly) {
  const std::string hex(64, 'a');
  const std::string a = "# file 5 1700000000000000000 0644\n" + hex + "  a.txt\n";
  const std::string b = "# file 4 1700000000000000000 0644\n" + hex + "  sub/b.txt\n";
  const std::vector<HostileCase> cases = {
      // Damaged numbers: the files come back without them, exit 1.
      {"# file 5 -9223372036854775808 0644\n" + hex + "  a.txt\n" + b, {}, 1,
       "a.txt: restored without its modification time (line 3 of the manifest is damaged)", true,
       true, 0644,
       "0 failed, 1 restored without metadata of damaged manifest lines (modification time)\n"},
      // --verify checks what is left: the SHA-256 ("alpha", "beta").
      {"# file 5 99999999999999999999 0644\n"
       "8ed3f6ad685b959ead7022518e1af76cd816f8e8ec7ccdda1ed4018e8f2223f8  a.txt\n"
       "# file x 1 0644\n"
       "f44e64e75f3948e9f73f8dfa94721c4ce8cbb4f265c4790c702b2d41cfbf2753  sub/b.txt\n",
       {"--verify"}, 1, "sub/b.txt: restored without its size (line 5", true, true, 0644,
       "0 failed, 2 restored without metadata of damaged manifest lines (size and modification "
       "time)\n"},
      {"# file 5 1 0944 junk\n" + hex + "  a.txt\n# dir 07z5 1 sub\n" + b, {}, 1,
       "sub: restored without its mode (line 5", true, true, -1},
      {a + "# file 4 1 0644\n", {}, 1, "line 5 is malformed: no checksum line follows it", true,
       false, 0644},
      {a + "this line is no entry\n" + b, {}, 1, "manifest line 5 is malformed", true, true, 0644},
      {"# file 5 1 6777\n" + hex + "  a.txt\n" + b, {}, 0,
       "1 entries restored without their setuid, setgid or sticky bits", true, true, 0777},
      {"# file 5 1 4755\n" + hex + "  a.txt\n", {"--special-bits"}, 0, "", true, false, 04755},
      // Any name is taken, under the stored name it would have had.
      {a + "# file 4 1 0644\n" + hex + "  sub/b\"q.txt\n", {}, 1,
       "(sub/b\"q.txt): failed with -3 (service error 3: not found)", true, false, 0644},
      {a + "# file 4 1 0644\n" + hex + "  sub/\xff.txt\n", {}, 1,
       "(sub/\xff.txt): failed with -3 (service error 3: not found)", true, false, 0644},
      {a + "# link 1 6 ../esc /tmp\n", {}, 1, "skipped link ../esc: unsafe path", true, false,
       0644},
      // A link never replaces a folder the restore wrote into.
      {"# link 1 3 sub /tmp\n" + b, {}, 1, "link sub: ", false, true, 0},
      // A hard link of a file outside the backup is restored as a file.
      {b + "# hardlink ../../victim.txt\n", {}, 0, "", false, true, 0},
  };
  int n = 0;
  for (const HostileCase& c : cases) {
    const std::string manifest = local + "/manifest" + std::to_string(n);
    write_file(manifest, "# brevanto manifest 2\n# dir 0777 0 .\n" + c.lines);
    ASSERT_EQ(run({"update", manifest, "\\bk\\.brevanto-manifest"}).exit_code, 0);
    // An existing target keeps its own mode, whatever the manifest says of ".".
    const std::string target = restore + "/t" + std::to_string(n++);
    fs::create_directories(target);
    chmod(target.c_str(), 0750);
    std::vector<std::string> args = {"restore", "\\bk", target};
    args.insert(args.end(), c.extra_args.begin(), c.extra_args.end());
    const CliResult result = run(args);
    EXPECT_EQ(result.exit_code, c.exit_code) << c.lines << result.err;
    EXPECT_NE(result.err.find(c.err), std::string::npos) << c.lines << result.err;
    EXPECT_EQ(fs::exists(target + "/a.txt"), c.a_restored) << c.lines;
    EXPECT_EQ(fs::exists(target + "/sub/b.txt"), c.b_restored) << c.lines;
    EXPECT_NE(result.out.find(c.out), std::string::npos) << c.lines << result.out;
    if (c.a_restored && c.a_mode >= 0) {
      EXPECT_EQ(mode_of(target + "/a.txt"), c.a_mode) << c.lines;
    }
    EXPECT_EQ(mode_of(target), 0750) << c.lines;
  }
}

}  // namespace
