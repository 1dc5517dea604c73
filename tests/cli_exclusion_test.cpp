// What a backup leaves out: gitignore-style patterns, CACHEDIR.TAG, sizes,
// and the storage root of a brevanto-service whatever the patterns say; and
// the same globs as `find` reads them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cli/local/exclusion.h"
#include "cli/local/local_tree.h"
#include "cli/manifest/path_pattern.h"
#include "cli/output/units.h"
#include "tests/cli_support/cli_runner.h"

namespace {

struct MatchCase {
  std::vector<std::string> patterns;
  std::string path;
  bool is_dir;
  bool excluded;
};

TEST(CliExclusion, PatternsMatchAsInGitignore) {
  const std::vector<MatchCase> cases = {
      {{"*.log"}, "a.log", false, true},
      {{"*.log"}, "deep/er/a.log", false, true},
      {{"*.log"}, "a.logx", false, false},
      {{"/*.log"}, "deep/a.log", false, false},
      {{"docs/*.txt"}, "docs/a.txt", false, true},
      {{"docs/*.txt"}, "docs/sub/a.txt", false, false},
      {{"docs/*.txt"}, "x/docs/a.txt", false, false},
      {{"**/tmp"}, "a/b/tmp", true, true},
      {{"a/**/z"}, "a/z", false, true},
      {{"a/**/z"}, "a/b/c/z", false, true},
      {{"a/**"}, "a/b/c", false, true},
      {{"a/**"}, "a", true, false},
      {{"build/"}, "build", true, true},
      {{"build/"}, "build", false, false},
      {{"file?.[ch]"}, "file1.c", false, true},
      {{"file?.[!ch]"}, "file1.c", false, false},
      {{"[a-c]x"}, "bx", false, true},
      {{"*.txt", "!keep.txt"}, "keep.txt", false, false},
      {{"*.txt", "!keep.txt", "keep*"}, "keep.txt", false, true},
      {{"# comment", ""}, "# comment", false, false},
      {{"\\#hash"}, "#hash", false, true},
      {{"\\!bang"}, "!bang", false, true},
      {{"trailing  "}, "trailing", false, true},
      {{"*"}, "any/thing", false, true},
  };
  for (const MatchCase& c : cases) {
    ExcludeRules rules;
    for (const std::string& pattern : c.patterns) rules.add(pattern);
    EXPECT_EQ(rules.excluded(c.path, c.is_dir), c.excluded)
        << c.patterns.front() << " / " << c.path;
  }
}

TEST(CliExclusion, SizesReadAsPeopleWriteThem) {
  const std::vector<std::pair<std::string, std::uint64_t>> good = {
      {"500", 500}, {"500B", 500}, {"64k", 65536}, {"10M", 10u << 20}, {"2GiB", 2ull << 30},
      {"1T", 1ull << 40}};
  for (const auto& [text, bytes] : good) {
    std::uint64_t parsed = 0;
    EXPECT_TRUE(parse_size(text, parsed)) << text;
    EXPECT_EQ(parsed, bytes) << text;
  }
  for (const char* bad : {"", "M", "10X", "1.5G", "-1", "99999999999999999999", "17179869184T"}) {
    std::uint64_t parsed = 0;
    EXPECT_FALSE(parse_size(bad, parsed)) << bad;
  }
}

TEST(CliExclusion, TheWalkLeavesOutCachesLargeFilesAndServiceStores) {
  const TempDir temp;
  const std::string& dir = temp.path();
  write_file(dir + "/a.txt", "a");
  write_file(dir + "/big.bin", std::string(2048, 'b'));
  write_file(dir + "/x.log", "log");
  write_file(dir + "/cache/CACHEDIR.TAG", "Signature: 8a477f597d28d172789f06886806bc55\n");
  write_file(dir + "/cache/blob", "blob");
  write_file(dir + "/fake-cache/CACHEDIR.TAG", "no signature");
  write_file(dir + "/store/catalog.sqlite3", "");
  write_file(dir + "/store/service.lock", "");
  write_file(dir + "/store/data/u1/default/f", "f");
  ExcludeRules rules;
  rules.add("*.log");
  rules.add("!store");  // no pattern brings a service's store back
  WalkOptions options{".brevanto-manifest", false, &rules, true, 1024, {}};
  const LocalTree tree = walk_local_tree(dir, options);
  std::vector<std::string> seen;
  for (const LocalEntry& entry : tree.entries) seen.push_back(entry.relative);
  EXPECT_EQ(seen, (std::vector<std::string>{"a.txt", "cache", "cache/CACHEDIR.TAG", "fake-cache",
                                            "fake-cache/CACHEDIR.TAG"}));
  EXPECT_EQ(tree.excluded, 3u);  // big.bin, x.log, cache/blob
  EXPECT_EQ(tree.service_stores, std::vector<std::string>{"store"});
  EXPECT_TRUE(tree.problems.empty());
}

struct FindCase {
  std::string pattern;
  bool ignore_case;
  std::vector<std::string> matched;  // of the paths below
};

TEST(CliFindPattern, MatchesNamesOrPathEndsAsRestic) {
  const std::vector<std::string> paths = {"a.txt", "docs/A.TXT", "docs/sub/a.txt",
                                          "x/docs/b.md", "docs", "dir/"};
  const std::vector<FindCase> cases = {
      {"a.txt", false, {"a.txt", "docs/sub/a.txt"}},
      {"a.txt", true, {"a.txt", "docs/A.TXT", "docs/sub/a.txt"}},
      {"*.md", false, {"x/docs/b.md"}},
      {"docs/*", false, {"docs/A.TXT", "x/docs/b.md"}},  // '*' never crosses a '/'
      {"/docs/*", false, {"docs/A.TXT"}},
      {"/docs/**/*.txt", false, {"docs/sub/a.txt"}},
      {"d?cs/", false, {"docs"}},  // folders only: "docs" and "dir/" are the folders here
      {"[!a]*", false, {"docs/A.TXT", "x/docs/b.md", "docs", "dir/"}},
      {"\\*", false, {}},
  };
  for (const FindCase& c : cases) {
    const PathPattern pattern(c.pattern, c.ignore_case);
    std::vector<std::string> matched;
    for (std::string path : paths) {
      const bool is_dir = path == "docs" || path.back() == '/';
      if (path.back() == '/') path.pop_back();
      if (pattern.matches(path, is_dir)) matched.push_back(path == "dir" ? "dir/" : path);
    }
    EXPECT_EQ(matched, c.matched) << c.pattern;
  }
}

}  // namespace
