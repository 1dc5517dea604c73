// The command line's earlier versions without a service: points in time as
// typed, the point each one picks, and what a diff of two manifests tells.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "cli/manifest/manifest_diff.h"
#include "cli/remote/history.h"

namespace {

constexpr std::int64_t kNow = 1796601600;  // 2026-12-07T00:00:00Z
constexpr std::int64_t kDec1 = 1796083200;  // 2026-12-01T00:00:00Z

struct SpecCase {
  const char* text;
  bool valid;
  PointSpec::Kind kind;
  std::int64_t time;  // the test runs with TZ=UTC0
};

// Sets TZ for the scope of a test, and back.
class TimeZone {
 public:
  explicit TimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TimeZone() {
    if (old_.empty()) {
      unsetenv("TZ");
    } else {
      setenv("TZ", old_.c_str(), 1);
    }
    tzset();
  }

 private:
  std::string old_;
};

TEST(CliHistory, ReadsPointsInTime) {
  const TimeZone utc("UTC0");
  using Kind = PointSpec::Kind;
  const std::vector<SpecCase> cases = {
      {"latest", true, Kind::kLatest, 0},
      {"2026-12-01T221503Z", true, Kind::kName, kDec1 + 22 * 3600 + 15 * 60 + 3},
      {"2026-12-01", true, Kind::kTime, kDec1 + 86399},  // the end of the day
      {"2026-12-01T10:00", true, Kind::kTime, kDec1 + 36000},
      {"2026-12-01 10:00:30", true, Kind::kTime, kDec1 + 36030},
      {"2026-12-01T10:00Z", true, Kind::kTime, kDec1 + 36000},
      {"30m", true, Kind::kTime, kNow - 1800},
      {"2d", true, Kind::kTime, kNow - 2 * 86400},
      {"1w", true, Kind::kTime, kNow - 7 * 86400},
      {"", false, Kind::kTime, 0},
      {"yesterday", false, Kind::kTime, 0},
      {"2x", false, Kind::kTime, 0},
      {"d", false, Kind::kTime, 0},
      {"2026-12-01T10", false, Kind::kTime, 0},
      {"2026-13-01", false, Kind::kTime, 0},
      {"2026-12-01T25:00", false, Kind::kTime, 0},
      {"2026-12-01T221503", false, Kind::kTime, 0},
  };
  for (const SpecCase& c : cases) {
    PointSpec spec;
    std::string error;
    ASSERT_EQ(parse_point_spec(c.text, kNow, spec, error), c.valid) << c.text;
    if (!c.valid) {
      EXPECT_NE(error.find("is no point in time"), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(spec.kind, c.kind) << c.text;
    if (c.kind != Kind::kLatest) {
      EXPECT_EQ(spec.time, c.time) << c.text;
    }
  }
}

TEST(CliHistory, PicksTheNewestPointAtOrBeforeATime) {
  const std::vector<Point> points = {{"a", 100}, {"b", 200}, {"c", 300}};
  const auto pick = [&](PointSpec::Kind kind, std::int64_t time, const char* name = "") {
    std::string error;
    return pick_point(points, PointSpec{kind, name, time}, error);
  };
  using Kind = PointSpec::Kind;
  EXPECT_EQ(pick(Kind::kTime, 99), -1);  // before the oldest
  EXPECT_EQ(pick(Kind::kTime, 100), 0);
  EXPECT_EQ(pick(Kind::kTime, 299), 1);
  EXPECT_EQ(pick(Kind::kTime, 5000), 2);
  EXPECT_EQ(pick(Kind::kLatest, 0), 2);
  EXPECT_EQ(pick(Kind::kName, 0, "b"), 1);
  EXPECT_EQ(pick(Kind::kName, 0, "d"), -1);  // a name is never rounded to a time
  std::string error;
  EXPECT_EQ(pick_point({}, PointSpec{}, error), -1);
  EXPECT_NE(error.find("no earlier versions"), std::string::npos) << error;
  EXPECT_EQ(at_point("p", "\\bk\\a"), "\\.history\\p\\bk\\a");
  EXPECT_EQ(at_point("p", "\\"), "\\.history\\p");
  EXPECT_EQ(tree_top("\\.history\\p\\bk"), "\\.history\\p");
  EXPECT_EQ(tree_top("\\bk"), "\\");
  EXPECT_TRUE(in_history("/.history"));
  EXPECT_FALSE(in_history("\\.history.old"));
}

// A small manifest: files "path=size:d:mode" (d: one hex digit standing for
// a digest of 64 of it), directories "path/:mode",
// links "path->target".
Manifest manifest(const std::vector<std::string>& items) {
  Manifest m;
  m.dirs.push_back(ManifestDir{".", 0755, 0});
  for (const std::string& item : items) {
    if (const std::size_t arrow = item.find("->"); arrow != std::string::npos) {
      m.links.push_back(ManifestLink{item.substr(0, arrow), item.substr(arrow + 2), 0});
    } else if (const std::size_t slash = item.find("/:"); slash != std::string::npos) {
      m.dirs.push_back(
          ManifestDir{item.substr(0, slash), std::stoi(item.substr(slash + 2), nullptr, 8), 0});
    } else {
      const std::size_t eq = item.find('=');
      const std::size_t sha = item.find(':', eq) + 1;
      const std::size_t mode = item.find(':', sha);
      ManifestEntry file{Digest::from_hex(std::string(64, item[sha])),
                         std::stoull(item.substr(eq + 1)), item.substr(0, eq)};
      if (mode != std::string::npos) file.mode = std::stoi(item.substr(mode + 1), nullptr, 8);
      m.files.push_back(file);
    }
  }
  return m;
}

struct DiffCase {
  const char* label;
  std::vector<std::string> from, to;
  std::string changes;  // "<modifier> <path>" lines
};

TEST(CliHistory, DiffsManifestsAsRestic) {
  const std::vector<DiffCase> cases = {
      {"same", {"a=1:a:644"}, {"a=1:a:644"}, ""},
      {"added and removed", {"a=1:a:644"}, {"b=1:a:644"}, "- /a\n+ /b\n"},
      {"content", {"a=1:a:644"}, {"a=1:b:644"}, "M /a\n"},
      {"size", {"a=1:a:644"}, {"a=2:a:644"}, "M /a\n"},
      {"mode only", {"a=1:a:644"}, {"a=1:a:600"}, "U /a\n"},
      {"mode unknown before", {"a=1:a"}, {"a=1:a:600"}, ""},
      {"a folder gone with its file", {"d/:755", "d/f=1:a:644"}, {}, "- /d/\n- /d/f\n"},
      {"a folder's mode", {"d/:755"}, {"d/:700"}, "U /d/\n"},
      {"file to link", {"l=1:a:644"}, {"l->a"}, "T /l\n"},
      {"link target", {"l->a"}, {"l->b"}, "M /l\n"},
  };
  for (const DiffCase& c : cases) {
    DiffCounts counts;
    std::string got;
    for (const Change& change : diff_manifests(manifest(c.from), manifest(c.to), counts)) {
      got += std::string(1, change.modifier) + " " + change.path + "\n";
    }
    EXPECT_EQ(got, c.changes) << c.label;
  }
  DiffCounts counts;
  diff_manifests(manifest({"d/:755", "d/f=3:a:644", "a=10:a:644", "l->a"}),
                 manifest({"a=12:b:644", "n=5:z:644"}), counts);
  EXPECT_EQ(counts.new_files, 1u);
  EXPECT_EQ(counts.removed_files, 1u);
  EXPECT_EQ(counts.changed_files, 1u);
  EXPECT_EQ(counts.removed_dirs, 1u);
  EXPECT_EQ(counts.removed_others, 1u);
  EXPECT_EQ(counts.added_bytes, 17u);   // n, and a as it is now
  EXPECT_EQ(counts.removed_bytes, 13u);  // d/f, and a as it was
}

}  // namespace
