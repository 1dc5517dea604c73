// The SQLite catalog's change log: records read back whole up to a torn or
// damaged one, and a catalog killed before it commits, or between its
// commit and emptying the log, shows what one closed properly shows.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "service/errors.h"
#include "service/store/change_log.h"
#include "service/store/sqlite_file_catalog.h"
#include "tests/service_test_files.h"

namespace {

const TreeId kLoggedTree{1, ""};

std::string random_bytes(std::mt19937& random, std::size_t size) {
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(random());
  return out;
}

// A change of a small tree of a few names, so that adds, updates and
// removes meet (some are refused, as a client's would be).
Change random_change(std::mt19937& random) {
  Change c;
  c.tree = kLoggedTree;
  c.kind = static_cast<Change::Kind>(random() % 4);
  const int depth = 1 + random() % 3;
  for (int i = 0; i < depth; ++i) c.path.push_back("n" + std::to_string(random() % 3));
  if (c.kind == Change::kAddFile || c.kind == Change::kUpdateFile) {
    c.content.bytes = random_bytes(random, random() % 300);
    c.content.size = static_cast<std::int64_t>(c.content.bytes.size());
    c.content.sha256 = "c" + std::to_string(random() % 5);  // shared contents
    c.file.size = c.content.size;
    c.file.backup_type = random() % 4;
    c.file.create_time = random();
    c.file.modify_time = random();
  }
  return c;
}

std::string encoded(const LoggedChange& logged) {
  std::string out;
  ChangeLog::encode(logged, out);
  return out;
}

std::string read_whole(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_whole(const std::string& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

TEST(ChangeLog, ReadsEveryWholeRecordUpToATornOrDamagedOne) {
  std::mt19937 random(11);
  TempDir dir;
  const std::string file = dir.path() + "/log";
  std::vector<LoggedChange> written;
  std::vector<std::size_t> ends;  // where each record ends in the file
  {
    ChangeLog log(file, false);
    while (written.size() < 40) {
      for (int n = 1 + random() % 4; n > 0; --n) {
        LoggedChange logged{static_cast<std::int64_t>(written.size() + 1),
                            static_cast<std::int64_t>(random()), random_change(random)};
        logged.change.path.push_back(random_bytes(random, random() % 6));  // any bytes
        log.add(logged.change, logged.seq, logged.now);
        written.push_back(logged);
        ends.push_back((ends.empty() ? 0 : ends.back()) + 12 + encoded(logged).size());
      }
      log.append();
    }
    ASSERT_EQ(log.size(), ends.back());
  }
  const std::string whole = read_whole(file);
  const auto check_reads = [&](const std::string& bytes, std::size_t expected) {
    write_whole(file, bytes);
    const std::vector<LoggedChange> read = ChangeLog(file, true).read_all();
    ASSERT_EQ(read.size(), expected);
    for (std::size_t i = 0; i < read.size(); ++i) {
      EXPECT_EQ(encoded(read[i]), encoded(written[i])) << i;
    }
  };
  check_reads(whole, written.size());
  for (std::size_t cut = 0; cut < whole.size(); cut += 1 + random() % 97) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    check_reads(whole.substr(0, cut),
                std::upper_bound(ends.begin(), ends.end(), cut) - ends.begin());
  }
  for (int i = 0; i < 40; ++i) {
    const std::size_t at = random() % whole.size();
    SCOPED_TRACE("byte " + std::to_string(at) + " changed");
    std::string damaged = whole;
    damaged[at] = static_cast<char>(damaged[at] ^ (1 + random() % 255));
    check_reads(damaged, std::upper_bound(ends.begin(), ends.end(), at) - ends.begin());
  }
}

// What a catalog shows: every current entry below the top, and the usage
// (which counts past versions and contents too).
std::vector<std::string> shown(FileCatalog& catalog) {
  std::vector<std::string> out;
  std::vector<std::string> folders{"\\"};
  while (!folders.empty()) {
    const std::string dir = folders.back();
    folders.pop_back();
    for (const Entry& e : catalog.list(kLoggedTree, dir, View{}, "", 1000)) {
      out.push_back(e.parent + e.name + " " + e.content + " " + std::to_string(e.size) + " " +
                    std::to_string(e.reversion) + " " + std::to_string(e.modify_time));
      if (e.is_dir) folders.push_back(e.parent + e.name + "\\");
    }
  }
  const Usage usage = catalog.usage(kLoggedTree.user_id);
  out.push_back("usage " + std::to_string(usage.bytes) + " " + std::to_string(usage.entries));
  return out;
}

// The same changes at the same times, whatever catalog they go to.
void apply_script(FileCatalog& catalog) {
  std::mt19937 random(5);
  catalog.open_tree(kLoggedTree, 1);
  for (std::int64_t now = 2; now < 400; ++now) {
    try {
      catalog.apply(random_change(random), now);
    } catch (const ServiceError&) {
      // refused, as the tree's rules say
    }
  }
}

// Applies the script in a child process that then dies without closing
// the catalog; `before_exit` runs last in the child.
void apply_and_die(const std::string& file,
                   const std::function<void(SqliteFileCatalog&)>& before_exit) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto* catalog = new SqliteFileCatalog(file);  // never closed
    apply_script(*catalog);
    before_exit(*catalog);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ChangeLog, AKilledCatalogShowsWhatOneClosedProperlyShows) {
  TempDir dir;
  std::vector<std::string> expected;
  {
    SqliteFileCatalog oracle(dir.path() + "/oracle.sqlite3");
    apply_script(oracle);
    expected = shown(oracle);
  }
  ASSERT_GT(expected.size(), 5u);

  // Killed before any commit of the script's changes.
  const std::string killed = dir.path() + "/killed.sqlite3";
  apply_and_die(killed, [](SqliteFileCatalog&) {});
  EXPECT_GT(read_whole(killed + "-changes").size(), 0u);
  EXPECT_EQ(shown(*std::make_unique<SqliteFileCatalog>(killed)), expected);

  // Killed after the commit, before the log was emptied: the log's
  // changes are in the catalog and must not be applied twice.
  const std::string twice = dir.path() + "/twice.sqlite3";
  apply_and_die(twice, [&](SqliteFileCatalog& catalog) {
    const std::string log = read_whole(twice + "-changes");
    catalog.sync();
    write_whole(twice + "-changes", log);
  });
  EXPECT_EQ(shown(*std::make_unique<SqliteFileCatalog>(twice)), expected);
}

}  // namespace
