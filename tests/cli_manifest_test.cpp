// The manifest as read back from the storage, where anyone with the account
// may have changed it: every line that can be read is kept, every other one
// is reported, no number is taken that the program cannot hold, and a line
// whose numbers cannot be read keeps its entry without them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "cli/local/local_file.h"
#include "cli/manifest/manifest.h"
#include "tests/cli_support/cli_runner.h"

namespace {

struct LinesCase {
  std::string text;
  std::string paths;  // of the files read, joined with ','
  std::vector<std::string> problems;
  std::vector<std::string> damaged = {};
};

TEST(CliManifestLines, KeepsWhatCanBeReadAndReportsTheRest) {
  const std::string hex(64, 'a');
  const std::string sum = hex + "  ";
  const std::string time = "line 1 is damaged: its modification time cannot be read";
  const std::string all = "line 1 is damaged: its size, modification time and mode cannot be read";
  const std::vector<LinesCase> cases = {
      {"# file 1 -9223372036854775808 0644\n" + sum + "a\n", "a", {}, {time}},
      {"# file 1 9223372036854775808 0644\n" + sum + "a\n", "a", {}, {time}},
      {"# file 1 -9223372036854775807 0644\n" + sum + "a\n", "a", {}},
      {"# dir 0755 -9223372036854775808 d\n", "", {}, {time}},
      {"# dir 0955 1 d\n", "", {}, {"line 1 is damaged: its mode cannot be read"}},
      {"# dir 0755 1\n", "", {"line 1 is malformed"}},
      {"# file 1 2\n" + sum + "a\n", "a", {}, {"line 1 is damaged: its mode cannot be read"}},
      // Which number is which is not known: all are lost.
      {"# file 1 2 0644 3\n" + sum + "a\n", "a", {}, {all}},
      {"# file x\n" + sum + "a\n", "a", {}, {all}},
      {"# file 1 2 0644\n" + sum + "a\n# file 2 3 0644\n", "a",
       {"line 3 is malformed: no checksum line follows it"}},
      {"# file 1 2 0644\n# file 2 3 0644\n" + sum + "b\n", "b",
       {"line 1 is malformed: no checksum line follows it"}},
      {"# file 1 2 0644\n" + sum + "a\nnot an entry\n# file 1 2 0644\n" + sum + "c\n", "a,c",
       {"line 3 is malformed"}},
      {"# file x 2 0644\n" + sum + "a\n# file 1 2 0644\n" + sum + "b\n", "a,b", {},
       {"line 1 is damaged: its size cannot be read"}},
      {"# file 1 x 0644\n# file 1 2 0644\n" + sum + "b\n", "b",
       {"line 1 is malformed: no checksum line follows it"}},
  };
  for (const LinesCase& c : cases) {
    Manifest manifest;
    std::string error;
    EXPECT_EQ(parse_manifest(c.text, manifest, error), c.problems.empty()) << c.text;
    std::string paths;
    for (const ManifestEntry& entry : manifest.files) paths += (paths.empty() ? "" : ",") + entry.path;
    EXPECT_EQ(paths, c.paths) << c.text;
    EXPECT_EQ(manifest.problems, c.problems) << c.text;
    EXPECT_EQ(manifest.damaged, c.damaged) << c.text;
    for (const ManifestEntry& entry : manifest.files) {  // what is lost reads as unknown
      EXPECT_EQ(entry.mtime_ns == kUnknownTime, (entry.lost & kLostTime) != 0) << c.text;
      EXPECT_EQ(entry.mode == kUnknownMode, (entry.lost & kLostMode) != 0) << c.text;
    }
    EXPECT_EQ(error, c.problems.empty() ? "" : c.problems.front()) << c.text;
  }
}

TEST(CliManifestLines, TheScratchCopyStaysPrivate) {
  const TempDir temp;
  std::string path;
  std::string error;
  ASSERT_TRUE(write_scratch_file(temp.path(), ".brevanto-manifest", "x", path, error)) << error;
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
}

}  // namespace
