// Every kind of entry a home folder holds, through a backup and a restore
// against the reference service: symbolic links (dangling ones too) come
// back as links with their targets as they were, hard links as links where
// both names are in the backup, and every name Linux allows byte for byte;
// `ls` shows those names as they are, `ls --stored` as the storage holds
// them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli/manifest/stored_name.h"
#include "tests/cli_support/cli_runner.h"
#include "tests/cli_support/json_check.h"
#include "tests/cli_support/service_process.h"

namespace {

namespace fs = std::filesystem;

// What a tree holds, entry by entry: "f <mode> <mtime> <content>",
// "d <mode>" or "l <target>", by path relative to `root`.
std::map<std::string, std::string> describe(const std::string& root) {
  std::map<std::string, std::string> out;
  for (const fs::directory_entry& item : fs::recursive_directory_iterator(root)) {
    const std::string path = item.path().string();
    struct stat info;
    lstat(path.c_str(), &info);
    std::string text;
    if (S_ISLNK(info.st_mode)) {
      text = "l " + fs::read_symlink(item.path()).string();
    } else if (S_ISDIR(info.st_mode)) {
      text = "d " + std::to_string(info.st_mode & 07777);
    } else {
      std::ifstream in(path, std::ios::binary);
      std::ostringstream content;
      content << in.rdbuf();
      text = "f " + std::to_string(info.st_mode & 07777) + " " +
             std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec) +
             " " + content.str();
    }
    out[path.substr(root.size() + 1)] = text;
  }
  return out;
}

TEST(CliFileKinds, ComeBackAsTheyWere) {
  TempDir temp;
  const std::string local = temp.path() + "/local";
  const std::string restore = temp.path() + "/restore";
  // Names the storage cannot hold, in files, folders and link targets.
  const std::vector<std::string> names = {"back\\slash", "quote\"d", "bad \xff\xfe", "new\nline",
                                          "tab\there", ".brevanto-name-0123"};
  write_file(local + "/a.txt", "alpha");
  for (const std::string& name : names) {
    write_file(local + "/" + name, "content of " + name);
    write_file(local + "/dir " + name + "/" + name, "inner " + name);
    symlink(("../" + name).c_str(), (local + "/dir " + name + "/link").c_str());
  }
  symlink("a.txt", (local + "/link").c_str());
  symlink("nowhere/at all", (local + "/dangling").c_str());
  symlink("dir back\\slash", (local + "/dirlink").c_str());
  link((local + "/a.txt").c_str(), (local + "/hard").c_str());
  link((local + "/bad \xff\xfe").c_str(), (local + "/dir quote\"d/hard \xff").c_str());
  fs::create_directories(restore);
  const ServiceProcess service(temp.path(), "ann", "pw", {local, restore});
  const auto run = [&](const std::vector<std::string>& args) {
    return run_cli(args, temp.path(), {{"BREVANTO_PASSWORD", "pw"}, {"BREVANTO_USER", "ann"}});
  };

  const CliResult backup = run({"backup", "local", "\\bk"});
  ASSERT_EQ(backup.exit_code, 0) << backup.out << backup.err;
  const CliResult again = run({"backup", "local", "\\bk"});
  EXPECT_EQ(again.exit_code, 0) << again.err;
  EXPECT_NE(again.out.find(" 0 added, 0 updated"), std::string::npos) << again.out;

  const CliResult real = run({"ls", "-r", "--scratch-dir", "restore", "\\bk"});
  const CliResult stored = run({"ls", "-r", "--stored", "\\bk"});
  ASSERT_EQ(real.exit_code, 0) << real.err;
  ASSERT_EQ(stored.exit_code, 0) << stored.err;
  for (std::string name : names) {
    const std::string encoded = stored_name(name);
    for (char& c : name) c = c == '\n' || c == '\t' ? '?' : c;  // as `ls -q` shows them
    for (const std::string& path : {name, "dir " + name + "\\", "dir " + name + "\\" + name}) {
      EXPECT_NE(real.out.find("\n\\bk\\" + path + "\n"), std::string::npos) << path << real.out;
    }
    EXPECT_EQ(real.out.find(encoded), std::string::npos) << encoded << real.out;
    EXPECT_NE(stored.out.find("\n\\bk\\" + encoded + "\n"), std::string::npos) << stored.out;
  }
  // The manifest travels through a folder the service may write; where it
  // may not, the names stay as stored, with a notice.
  const CliResult unread = run({"ls", "-r", "\\bk"});
  EXPECT_EQ(unread.exit_code, 0);
  EXPECT_NE(unread.err.find("are shown as stored"), std::string::npos) << unread.err;
  EXPECT_EQ(unread.out, stored.out);
  // The exact bytes and the stored name are in the JSON.
  const CliResult json = run({"ls", "--json", "--scratch-dir", "restore", "\\bk"});
  EXPECT_EQ(split_lines(json.out).size(), 1u);
  EXPECT_TRUE(is_json_object(split_lines(json.out).at(0))) << json.out;
  EXPECT_NE(json.out.find("\"path_hex\":\"5c626b5c62616420fffe\",\"stored_path\":\"\\\\bk\\\\" +
                          stored_name("bad \xff\xfe") + "\""),
            std::string::npos)
      << json.out;

  const CliResult restored = run({"restore", "--verify", "\\bk", restore + "/copy"});
  ASSERT_EQ(restored.exit_code, 0) << restored.out << restored.err;
  EXPECT_EQ(describe(restore + "/copy"), describe(local));
  EXPECT_EQ(inode_of(restore + "/copy/hard"), inode_of(restore + "/copy/a.txt"));
  EXPECT_EQ(inode_of(restore + "/copy/dir quote\"d/hard \xff"),
            inode_of(restore + "/copy/bad \xff\xfe"));
  EXPECT_NE(inode_of(restore + "/copy/hard"), inode_of(local + "/a.txt"));

  // Without its manifest a backup restores from a listing, under the names
  // as stored.
  ASSERT_EQ(run({"rm", "\\bk\\.brevanto-manifest"}).exit_code, 0);
  const CliResult listed = run({"restore", "\\bk", restore + "/listed"});
  EXPECT_EQ(listed.exit_code, 0) << listed.out << listed.err;
  EXPECT_EQ(describe(restore + "/listed").count("a.txt"), 1u);
}

}  // namespace
