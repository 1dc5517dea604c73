// A folder, a file or a link of a backup restores from that backup's
// manifest: what the last backup held, with its modes and times, and
// nothing it did not hold (such as a file deleted before it, which the
// storage keeps without --delete). Hard links come back as links among the
// names restored, also when their first name lies outside the part.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/cli_support/cli_runner.h"
#include "tests/cli_support/service_process.h"

namespace {

namespace fs = std::filesystem;

// "<mode> <mtime>" of each file and "-> <target>" of each link below
// `root`, by relative path.
std::map<std::string, std::string> describe_metadata(const std::string& root) {
  std::map<std::string, std::string> out;
  for (const fs::directory_entry& item : fs::recursive_directory_iterator(root)) {
    struct stat info;
    lstat(item.path().c_str(), &info);
    const std::string relative = item.path().string().substr(root.size() + 1);
    if (S_ISLNK(info.st_mode)) {
      out[relative] = "-> " + fs::read_symlink(item.path()).string();
    } else if (!S_ISDIR(info.st_mode)) {
      out[relative] = std::to_string(info.st_mode & 07777) + " " +
                      std::to_string(info.st_mtim.tv_sec) + "." +
                      std::to_string(info.st_mtim.tv_nsec);
    }
  }
  return out;
}

struct PartCase {
  std::string remote;
  int exit_code;
  std::vector<std::string> restored;  // paths as in the local tree
  std::string strip;                  // their prefix, gone in the restore
  // Names (below the target) that must be one file, group by group.
  std::vector<std::vector<std::string>> linked = {};
};

TEST(CliPartialRestore, APartOfABackupComesFromItsManifest) {
  TempDir temp;
  const std::string local = temp.path() + "/local";
  const std::string restore = temp.path() + "/restore";
  write_file(local + "/top.txt", "top");
  write_file(local + "/docs/keep.txt", "keep");
  write_file(local + "/docs/gone.txt", "gone");
  write_file(local + "/docs/deep/d.txt", "deep");
  write_file(local + "/docs/a\\b.txt", "backslash");
  symlink("keep.txt", (local + "/docs/link").c_str());
  chmod((local + "/docs/keep.txt").c_str(), 0640);
  chmod((local + "/docs/deep/d.txt").c_str(), 0604);
  // One file with its first name outside docs, one with every name inside.
  write_file(local + "/a.txt", "first");
  link((local + "/a.txt").c_str(), (local + "/docs/h1").c_str());
  link((local + "/a.txt").c_str(), (local + "/docs/deep/h2").c_str());
  write_file(local + "/docs/in1", "in");
  link((local + "/docs/in1").c_str(), (local + "/docs/deep/in2").c_str());
  fs::create_directories(restore);
  const ServiceProcess service(temp.path(), "ann", "pw", {local, restore});
  const auto run = [&](const std::vector<std::string>& args) {
    return run_cli(args, temp.path(), {{"BREVANTO_PASSWORD", "pw"}, {"BREVANTO_USER", "ann"}});
  };
  ASSERT_EQ(run({"backup", "local", "\\bk"}).exit_code, 0);
  // Deleted before the last backup: the storage keeps it, the manifest not.
  fs::remove(local + "/docs/gone.txt");
  ASSERT_EQ(run({"backup", "local", "\\bk"}).exit_code, 0);
  const std::map<std::string, std::string> original = describe_metadata(local);

  const std::vector<PartCase> cases = {
      {"\\bk\\docs", 0,
       {"docs/keep.txt", "docs/deep/d.txt", "docs/a\\b.txt", "docs/link", "docs/h1",
        "docs/deep/h2", "docs/in1", "docs/deep/in2"},
       "docs/",
       {{"h1", "deep/h2"}, {"in1", "deep/in2"}}},
      {"\\bk\\docs\\deep", 0, {"docs/deep/d.txt", "docs/deep/h2", "docs/deep/in2"},
       "docs/deep/"},
      {"\\bk", 0, {}, "", {{"a.txt", "docs/h1", "docs/deep/h2"}, {"docs/in1", "docs/deep/in2"}}},
      {"\\bk\\docs\\keep.txt", 0, {"docs/keep.txt"}, "docs/"},
      {"\\bk\\docs\\link", 0, {"docs/link"}, "docs/"},
      {"\\bk\\docs\\gone.txt", 1, {}, ""},
  };
  int n = 0;
  for (const PartCase& c : cases) {
    const std::string target = restore + "/t" + std::to_string(n++);
    const CliResult result = run({"restore", "--verify", c.remote, target});
    EXPECT_EQ(result.exit_code, c.exit_code) << c.remote << result.out << result.err;
    std::map<std::string, std::string> expected = c.strip.empty() && c.exit_code == 0 ? original
                                                  : std::map<std::string, std::string>();
    for (const std::string& path : c.restored) {
      expected[path.substr(c.strip.size())] = original.at(path);
    }
    const std::map<std::string, std::string> got =
        fs::exists(target) ? describe_metadata(target) : std::map<std::string, std::string>();
    EXPECT_EQ(got, expected) << c.remote << result.err;
    for (const std::vector<std::string>& names : c.linked) {
      for (const std::string& name : names) {
        EXPECT_EQ(inode_of(target + "/" + name), inode_of(target + "/" + names[0]))
            << c.remote << ": " << name << " is no link of " << names[0];
      }
    }
  }
}

}  // namespace
