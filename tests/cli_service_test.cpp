// The brevanto program against the reference service: a backup restored and
// verified with modes and times, incremental and interrupted backups, links
// and deletions, and the verification catching files that differ from the
// manifest.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <thread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "tests/cli_support/cli_runner.h"
#include "tests/cli_support/service_process.h"

namespace {

namespace fs = std::filesystem;

// Every entry below `root`: "d" for directories, the content for files.
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string relative = fs::relative(entry.path(), root).string();
    entries[relative] = entry.is_directory() ? "d" : "f:" + read_file(entry.path());
  }
  return entries;
}

class CliWithService : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(local);
    fs::create_directories(restore);
    service = std::make_unique<ServiceProcess>(temp.path(), "ann", "pw",
                                               std::vector<std::string>{local, restore});
  }
  CliResult run(const std::vector<std::string>& args, const std::string& interrupt_at = "") {
    return run_cli_interrupted(args, temp.path(),
                               {{"BREVANTO_PASSWORD", "pw"}, {"BREVANTO_USER", "ann"}},
                               interrupt_at);
  }

  TempDir temp;
  const std::string local = temp.path() + "/local";
  const std::string restore = temp.path() + "/restore";
  std::unique_ptr<ServiceProcess> service;
};

TEST_F(CliWithService, BackupRestoreAndVerifyGiveTheSameTree) {
  write_file(local + "/a.txt", "alpha");
  write_file(local + "/Grüße/日本語 ñ/b 😀.txt", std::string(100000, 'b'));
  write_file(local + "/Grüße/empty.txt", "");
  fs::create_directories(local + "/leer");

  CliResult result = run({"backup", "local", "/bk/today"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("3 files"), std::string::npos) << result.out;

  result = run({"ls", "-r", "\\bk"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out,
            "\\bk\\today\\\n"
            "\\bk\\today\\.brevanto-manifest\n"
            "\\bk\\today\\Grüße\\\n"
            "\\bk\\today\\Grüße\\empty.txt\n"
            "\\bk\\today\\Grüße\\日本語 ñ\\\n"
            "\\bk\\today\\Grüße\\日本語 ñ\\b 😀.txt\n"
            "\\bk\\today\\a.txt\n"
            "\\bk\\today\\leer\\\n");

  result = run({"restore", "\\bk\\today", "restore/copy", "--verify"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("verify: all 3 files match the manifest"), std::string::npos)
      << result.out;
  EXPECT_EQ(snapshot(local), snapshot(restore + "/copy"));

  // A second backup sends nothing: size and time match the manifest.
  result = run({"backup", "local", "/bk/today"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("0 added, 0 updated, 3 unchanged, 0 deleted, 0 directories created"),
            std::string::npos)
      << result.out;
}

TEST_F(CliWithService, VerifyReportsFilesThatDifferFromTheManifest) {
  write_file(local + "/same.txt", "same");
  write_file(local + "/changed.txt", "abc");
  ASSERT_EQ(run({"backup", "local", "\\bk"}).exit_code, 0);

  // Replaced and added behind the manifest's back.
  write_file(local + "/changed.txt", "abd");
  ASSERT_EQ(run({"update", "local/changed.txt", "\\bk\\changed.txt"}).exit_code, 0);
  write_file(local + "/extra.txt", "extra");
  ASSERT_EQ(run({"put", "local/extra.txt", "\\bk\\"}).exit_code, 0);
  CliResult result = run({"stat", "\\bk\\changed.txt"});
  EXPECT_NE(result.out.find("reversion:   2\n"), std::string::npos) << result.out;

  result = run({"restore", "\\bk", "restore", "--verify"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("verify: changed.txt: SHA-256 differs from the manifest\n"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(result.err.find("verify: same.txt"), std::string::npos) << result.err;
  EXPECT_NE(result.out.find("verify: 1 problems in 2 files"), std::string::npos) << result.out;
  // The manifest is the snapshot: a file stored behind its back is not restored.
  EXPECT_FALSE(fs::exists(restore + "/extra.txt"));
  // The manifest's scratch copy is gone; the manifest itself is not restored.
  for (const auto& entry : fs::directory_iterator(restore)) {
    EXPECT_EQ(entry.path().filename().string().rfind(".brevanto", 0), std::string::npos);
  }
}

TEST_F(CliWithService, RestoreWithoutAManifestCannotVerify) {
  write_file(local + "/a.txt", "a");
  ASSERT_EQ(run({"mkdir", "\\plain"}).exit_code, 0);
  ASSERT_EQ(run({"put", "local/a.txt", "\\plain\\a.txt"}).exit_code, 0);
  const CliResult result = run({"restore", "\\plain", "restore", "--verify"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("holds no manifest"), std::string::npos) << result.err;
  EXPECT_EQ(read_file(restore + "/a.txt"), "a");
}

std::int64_t mtime_of(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return -1;
  return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

TEST_F(CliWithService, ModesTimesLinksAndDeletionsFollowTheLocalTree) {
  const std::vector<std::pair<std::string, int>> modes = {
      {"key", 0600}, {"run.sh", 0755}, {"private", 0700}, {"private/x", 0644}};
  write_file(local + "/key", "secret");
  write_file(local + "/run.sh", "#!/bin/sh\n");
  write_file(local + "/private/x", "x");
  for (const auto& [name, mode] : modes) chmod((local + "/" + name).c_str(), mode);
  symlink("key", (local + "/link").c_str());
  mkfifo((local + "/fifo").c_str(), 0644);

  CliResult result = run({"backup", "local", "\\bk"});
  ASSERT_EQ(result.exit_code, 0) << result.err;  // FIFOs are no failures
  EXPECT_NE(result.err.find("backup: skipped fifo: FIFO\n"), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("skipped link"), std::string::npos) << result.err;
  EXPECT_NE(result.out.find("1 skipped, 0 failed"), std::string::npos) << result.out;

  result = run({"restore", "\\bk", "restore/copy", "--verify"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(fs::read_symlink(restore + "/copy/link"), "key");  // a link, as it was
  for (const auto& [name, mode] : modes) {
    EXPECT_EQ(mode_of(restore + "/copy/" + name), mode) << name;
    EXPECT_EQ(mtime_of(restore + "/copy/" + name), mtime_of(local + "/" + name)) << name;
  }
  // The manifest checks the restored tree with sha256sum as it is.
  ASSERT_EQ(run({"get", "\\bk\\.brevanto-manifest", "restore/manifest"}).exit_code, 0);
  EXPECT_EQ(std::system(("cd '" + restore + "/copy' && sha256sum --quiet --strict -c "
                         "../manifest >/dev/null").c_str()),
            0);

  // Links to files are backed up as files when asked; gone files are
  // removed from the storage with --delete.
  fs::remove(local + "/run.sh");
  result = run({"backup", "--copy-links", "--delete", "local", "\\bk"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("1 added, 0 updated, 2 unchanged, 1 deleted"), std::string::npos)
      << result.out;
  result = run({"ls", "-r", "\\bk"});
  EXPECT_EQ(result.out.find("run.sh"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\\bk\\link\n"), std::string::npos) << result.out;
}

TEST_F(CliWithService, AnInterruptedBackupSavesWhatItDidAndTheNextGoesOn) {
  for (int i = 0; i < 200; ++i) write_file(local + "/f" + std::to_string(1000 + i), "data");
  CliResult result = run({"-v", "backup", "--transfers", "1", "local", "\\bk"}, "[3/200]");
  ASSERT_EQ(result.exit_code, 130) << result.out << result.err;
  EXPECT_NE(result.out.find("backup: interrupted"), std::string::npos) << result.out;
  ASSERT_EQ(run({"get", "\\bk\\.brevanto-manifest", "restore/manifest"}).exit_code, 0);
  const std::string manifest = read_file(restore + "/manifest");
  EXPECT_NE(manifest.find("\n# incomplete\n"), std::string::npos);
  EXPECT_EQ(manifest.find("f1199"), std::string::npos);

  result = run({"backup", "local", "\\bk"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out.find(" 0 unchanged"), std::string::npos) << result.out;  // resumed
  // The manifest leaves out the file in flight at the interrupt (its stored
  // copy may be old, new or none): at most that one is sent again.
  EXPECT_TRUE(result.out.find(", 0 updated,") != std::string::npos ||
              result.out.find(", 1 updated,") != std::string::npos)
      << result.out;
  result = run({"restore", "\\bk", "restore/copy", "--verify"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("verify: all 200 files match the manifest"), std::string::npos);

  result = run({"-v", "restore", "--transfers", "1", "\\bk", "restore/part"}, "[3/200]");
  EXPECT_EQ(result.exit_code, 130) << result.err;
  EXPECT_NE(result.out.find("restore: interrupted"), std::string::npos) << result.out;
}

// Two backups of one folder at once, each with a file the other lacks: the
// second waits for the first (held stopped meanwhile), then reads its
// manifest, so the latest point restores the folder whole. The lock is
// in no listing of the backup.
TEST_F(CliWithService, BackupsOfOneFolderTakeTurns) {
  for (int i = 0; i < 20; ++i) write_file(local + "/f" + std::to_string(10 + i), "data");
  const std::vector<std::pair<std::string, std::string>> env = {{"BREVANTO_PASSWORD", "pw"},
                                                                {"BREVANTO_USER", "ann"}};
  CliResult second;
  std::thread second_run;
  const CliResult first = run_cli_watched(
      {"-v", "backup", "--transfers", "1", "local", "\\bk"}, temp.path(), env,
      [&](const CliResult& output, pid_t pid) {
        if (second_run.joinable() || output.err.find("[2/20]") == std::string::npos) return;
        kill(pid, SIGSTOP);
        write_file(local + "/new.txt", "added while the first ran");
        second_run = std::thread([&] { second = run({"backup", "local", "\\bk"}); });
        std::this_thread::sleep_for(std::chrono::seconds(3));
        kill(pid, SIGCONT);
      });
  ASSERT_TRUE(second_run.joinable()) << first.err;
  second_run.join();
  EXPECT_EQ(first.exit_code, 0) << first.err;
  EXPECT_EQ(second.exit_code, 0) << second.err;
  EXPECT_NE(second.err.find("\\bk is being backed up by process"), std::string::npos)
      << second.err;
  CliResult result = run({"restore", "--at", "latest", "\\bk", "restore/latest"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(snapshot(local), snapshot(restore + "/latest"));
  EXPECT_EQ(run({"ls", "\\bk"}).out.find(".lock"), std::string::npos);
}

// A lock whose process is gone is broken with a notice.
TEST_F(CliWithService, AStaleLockIsBroken) {
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  char host[256] = {};
  gethostname(host, sizeof(host) - 1);
  write_file(restore + "/lock", "host=" + std::string(host) + "\npid=" +
                                        std::to_string(gone) + "\nstarted=" +
                                        std::to_string(std::time(nullptr)) + "\n");
  write_file(local + "/a.txt", "alpha");
  ASSERT_EQ(run({"put", "restore/lock", "\\bk\\.brevanto-manifest.lock"}).exit_code, 0);
  const CliResult result = run({"backup", "--lock-wait", "0", "local", "\\bk"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.err.find("breaking the lock \\bk\\.brevanto-manifest.lock of process " +
                            std::to_string(gone)),
            std::string::npos)
      << result.err;
  EXPECT_EQ(run({"ls", "-r", "\\bk"}).out, "\\bk\\.brevanto-manifest\n\\bk\\a.txt\n");
}

TEST_F(CliWithService, RestoreOfOneFileWritesThatFile) {
  write_file(local + "/a/b/f.txt", "eff");
  ASSERT_EQ(run({"backup", "local", "\\bk"}).exit_code, 0);
  const CliResult result = run({"restore", "\\bk\\a\\b\\f.txt", "restore/one"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(read_file(restore + "/one/f.txt"), "eff");
}

TEST_F(CliWithService, RestoreAndGetOutsideTheLocalRootsCreateNothing) {
  write_file(local + "/a.txt", "a");
  ASSERT_EQ(run({"backup", "local", "\\bk"}).exit_code, 0);
  const std::string outside = temp.path() + "/outside";
  const std::string allowed = "local path refused (allowed: " + local + ", " + restore + ")\n";
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"restore", "\\bk", outside + "/copy"}, {"get", "\\bk\\a.txt", outside + "/a.txt"}}) {
    const CliResult result = run(args);
    EXPECT_EQ(result.exit_code, 1) << args[0];
    EXPECT_NE(result.err.find(allowed), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_FALSE(fs::exists(outside)) << args[0];
  }
}

TEST_F(CliWithService, BackupOutsideTheLocalRootsStopsWithOneLine) {
  const std::string outside = temp.path() + "/outside";
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) write_file(outside + "/" + name, name);
  const CliResult result = run({"backup", outside, "\\bk"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "backup: cannot read " + outside + ": local path refused (allowed: " +
                            local + ", " + restore + ")\n");
  EXPECT_NE(run({"exists", "\\bk"}).exit_code, 0);  // nothing was sent
}

// The files of the command line's own (manifests, the lock, check's
// copies) go through a private folder; a service narrowed to folders that
// do not hold it refuses it, and the commands that need it say what to do,
// while a backup takes its own folder instead.
TEST_F(CliWithService, ANarrowedServiceRefusingThePrivateFolderIsNamed) {
  write_file(local + "/a.txt", "alpha");
  ASSERT_EQ(run({"backup", "local", "\\bk"}).exit_code, 0);
  CliResult result = run({"check", "\\bk"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("(narrowed by --local-root, or with a /tmp of its own): "
                            "--scratch-dir names a folder it may\n"),
            std::string::npos)
      << result.err;
  result = run({"check", "\\bk", "restore"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  result = run({"diff", "--local", "local", "\\bk"});  // through LOCAL_DIR, as a backup
  EXPECT_EQ(result.exit_code, 0) << result.err;
  for (const auto& entry : fs::directory_iterator(local)) {  // the backup's scratch files
    EXPECT_EQ(entry.path().filename().string().rfind(".brevanto", 0), std::string::npos);
  }
}

// A service without --local-root: the user's rights decide, and the command
// line needs no folder from the user. A home folder that holds the command
// line's own log is backed up without it, so that check and verify pass.
TEST(CliWithOpenService, HomeBackupChecksAndRestoresAnywhereWithoutAScratchFolder) {
  TempDir temp;
  const std::string home = temp.path() + "/home";
  const TempDir elsewhere;  // the working directory, outside everything
  const TempDir tmp;        // the private folders' parent
  const TempDir target;     // the restore target
  write_file(home + "/a.txt", "alpha");
  write_file(home + "/docs/b.txt", "beta");
  const ServiceProcess service(temp.path(), "ann", "pw", {});
  const auto run = [&](const std::vector<std::string>& args) {
    return run_cli(args, elsewhere.path(),
                   {{"BREVANTO_PASSWORD", "pw"}, {"BREVANTO_USER", "ann"}, {"HOME", home},
                    {"XDG_STATE_HOME", kUnsetEnv}, {"BREVANTO_LOG_DIR", kUnsetEnv},
                    {"TMPDIR", tmp.path()}});
  };
  ASSERT_EQ(run({"mkdir", "\\bk"}).exit_code, 0);  // the log exists before the backup
  const std::string log_folder = ".local/state/brevanto/Logs";
  ASSERT_TRUE(fs::exists(home + "/" + log_folder + "/Brevanto.log"));

  CliResult result = run({"backup", "--dry-run", home, "\\bk"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  const std::string skipped = "backup: skipped " + log_folder + ": the log folder of brevanto";
  EXPECT_NE(result.err.find(skipped), std::string::npos) << result.err;
  result = run({"backup", home, "\\bk"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.err.find(skipped), std::string::npos) << result.err;
  EXPECT_NE(result.out.find("1 skipped"), std::string::npos) << result.out;

  result = run({"check", "--read-data", "\\bk"});
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  result = run({"restore", "--verify", "\\bk", target.path() + "/copy"});
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_EQ(read_file(target.path() + "/copy/docs/b.txt"), "beta");
  EXPECT_FALSE(fs::exists(target.path() + "/copy/" + log_folder));

  result = run({"snapshots", "\\bk"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_NE(result.out.find("  2  "), std::string::npos) << result.out;  // its two files
  result = run({"diff", "latest", "\\bk"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  result = run({"diff", "--local", home, "\\bk"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("0 new,     0 removed,     0 changed"), std::string::npos)
      << result.out;

  // Every private folder is gone, and nothing was left where the commands ran.
  EXPECT_TRUE(fs::is_empty(tmp.path()));
  EXPECT_TRUE(fs::is_empty(elsewhere.path()));
  for (const auto& entry : fs::directory_iterator(home)) {
    EXPECT_EQ(entry.path().filename().string().rfind(".brevanto", 0), std::string::npos);
  }
}

TEST(CliAndService, BothProgramsPrintTheProjectVersion) {
  EXPECT_EQ(run_cli({"--version"}).out, "brevanto " BREVANTO_VERSION "\n");
  FILE* service = ::popen("'" BREVANTO_SERVICE_PATH "' --version", "r");
  ASSERT_NE(service, nullptr);
  char line[128] = {};
  const bool read = std::fgets(line, sizeof(line), service) != nullptr;
  ::pclose(service);
  ASSERT_TRUE(read);
  EXPECT_STREQ(line, "brevanto-service " BREVANTO_VERSION "\n");
}

}  // namespace
