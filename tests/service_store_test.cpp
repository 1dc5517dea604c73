// The store on its own: versions and the "\.history" view, content stored
// once, retention and garbage collection, and the move from the older
// layout.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <list>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "client/Brevanto.h"
#include "protocol/service_connection.h"
#include "service/errors.h"
#include "service/log.h"
#include "service/store/catalog.h"
#include "service/store/chunked_content_writer.h"
#include "service/store/chunker.h"
#include "service/store/filetime.h"
#include "service/store/folder_content_store.h"
#include "service/store/older_layout/migration.h"
#include "service/store/point_names.h"
#include "service/store/retention.h"
#include "service/store/sqlite_file_catalog.h"
#include "service/store/store.h"
#include "service/store/store_check.h"
#include "tests/service_test_env.h"
#include "tests/hooked_writer.h"
#include "tests/service_test_files.h"
#include "tests/service_test_process.h"
#include "tests/store_test_catalogs.h"
#include "util/sha256.h"

namespace {

const TreeId kTree{1, ""};

StoragePath path_of(const std::string& text) { return parse_storage_path(text); }

// Stores `bytes` at `path`, as an upload does.
void put_into(Store& store, const std::string& path, const std::string& bytes,
              bool update = false) {
  NewContent content;
  content.size = static_cast<std::int64_t>(bytes.size());
  Sha256 sha;
  sha.update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  content.sha256 = sha.hex();
  std::unique_ptr<ContentWriter> writer;
  // As an upload stores it: a content this large as chunks.
  std::optional<ChunkedContentWriter> chunks;
  if (content.size >= Store::kChunkedMinBytes) {
    chunks.emplace(store, kTree.user_id, bytes.size());
    chunks->write(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    chunks->finish(&content, &writer);
    content.external = true;
  } else if (content.size > Store::kInlineMaxBytes) {
    writer = store.begin_content(kTree.user_id);
    EXPECT_EQ(::write(writer->fd(), bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
    content.external = true;
  } else {
    content.bytes = bytes;
  }
  Entry file;
  file.create_time = file.modify_time = filetime_now();
  store.put_file(kTree, path_of(path), update, std::move(content), writer.get(), file);
}

// A retention that keeps the last point only.
RetentionPolicy keep_last_point() {
  RetentionPolicy keep;
  keep.last = 1;
  keep.daily = keep.weekly = keep.monthly = 0;
  keep.within_seconds = 0;
  return keep;
}

// A store in a temp folder, as the service lays it out.
struct TestStore {
  explicit TestStore(RetentionPolicy retention = RetentionPolicy(),
                     CatalogKind kind = CatalogKind::kSqlite)
      : root_fd(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY)),
        owned_catalog(make_test_catalog(kind, dir.path())),
        catalog(*owned_catalog),
        contents(root_fd, "content", dir.path()),
        store(catalog, contents, retention, std::chrono::seconds(1),
              [this] { return now != 0 ? now.load() : filetime_now(); }) {
    store.open_tree(kTree);
  }
  ~TestStore() { ::close(root_fd); }

  void put(const std::string& path, const std::string& bytes, bool update = false) {
    put_into(store, path, bytes, update);
  }

  // The file's bytes, or "(error N)".
  std::string read(const std::string& path) {
    try {
      Entry entry;
      const UniqueFd fd = store.open_file(kTree, path_of(path), &entry);
      std::string out(static_cast<std::size_t>(entry.size), '\0');
      if (!out.empty() && ::read(fd.get(), &out[0], out.size()) != entry.size) return "(short)";
      return out;
    } catch (const ServiceError& e) {
      return "(error " + std::to_string(e.code()) + ")";
    }
  }

  std::vector<std::string> list(const std::string& dir, bool recursive) {
    std::vector<std::string> out;
    store.list(kTree, path_of(dir), recursive,
               [&](const Entry& e) { out.push_back(e.parent + e.name + (e.is_dir ? "\\" : "")); });
    return out;
  }

  // The point names, oldest first.
  std::vector<std::string> points() {
    std::vector<std::string> out;
    for (const Point& p : catalog.points(kTree)) out.push_back(p.name);
    return out;
  }

  std::size_t content_files() {
    std::size_t n = 0;
    contents.sweep([&](std::int64_t, const std::string&) { ++n; });
    return n;
  }

  std::atomic<std::int64_t> now{0};  // the store's clock; 0: the real one
  TempDir dir;
  int root_fd;
  std::unique_ptr<FileCatalog> owned_catalog;
  FileCatalog& catalog;
  FolderContentStore contents;
  Store store;
};

// The tests that hold for any catalog run against each (PostgreSQL only
// when a test database is given).
class ServiceStore : public ::testing::TestWithParam<CatalogKind> {
 protected:
  void SetUp() override {
    if (GetParam() == CatalogKind::kPostgres) {
      const std::string why = pg_test_skip_reason();
      if (!why.empty()) GTEST_SKIP() << why;
    }
  }
};
INSTANTIATE_TEST_SUITE_P(Catalogs, ServiceStore, ::testing::ValuesIn(every_catalog_kind()),
                         [](const auto& info) { return catalog_kind_name(info.param); });

TEST_P(ServiceStore, EveryVersionIsKeptAndSeenThroughHistory) {
  TestStore t(RetentionPolicy(), GetParam());
  const std::string large(Store::kInlineMaxBytes + 1, 'L');
  t.put("\\docs\\a.txt", "one");
  t.put("\\docs\\big", large);
  ASSERT_TRUE(t.store.end_session(kTree, true));
  const std::string first = t.points().back();
  t.put("\\docs\\a.txt", "two", true);
  t.store.remove(kTree, path_of("\\docs\\big"));
  t.put("\\docs\\big", "small now");
  EXPECT_EQ(t.store.stat(kTree, path_of("\\docs\\a.txt")).reversion, 2);
  EXPECT_EQ(t.store.stat(kTree, path_of("\\docs\\big")).reversion, 2);  // counted on

  const std::string then = "\\.history\\" + first;
  EXPECT_EQ(t.read("\\docs\\a.txt"), "two");
  EXPECT_EQ(t.read(then + "\\docs\\a.txt"), "one");
  EXPECT_EQ(t.read(then + "\\docs\\big"), large);
  EXPECT_EQ(t.list("\\", true),
            (std::vector<std::string>{"\\.history\\", "\\docs\\", "\\docs\\a.txt", "\\docs\\big"}));
  EXPECT_EQ(t.list("\\.history", true),
            (std::vector<std::string>{then + "\\", then + "\\docs\\", then + "\\docs\\a.txt",
                                      then + "\\docs\\big"}));

  // Nothing below "\.history" changes; no real one can be made.
  for (const std::string& path :
       std::vector<std::string>{"\\.history", then, then + "\\docs\\a.txt", then + "\\new"}) {
    SCOPED_TRACE(path);
    EXPECT_THROW(t.store.add_dir(kTree, path_of(path)), ServiceError);
    EXPECT_THROW(t.store.remove(kTree, path_of(path)), ServiceError);
    EXPECT_THROW(t.put(path, "x"), ServiceError);
  }
  EXPECT_EQ(t.read(then + "\\docs\\a.txt"), "one");
  EXPECT_EQ(t.read("\\.history\\2000-01-01T000000Z\\docs\\a.txt"), "(error 3)");
}

// v1 at 10:00, v2 at 11:00, the clock set back to 10:00, v3: every version
// keeps its point, named in the order of the changes.
TEST_P(ServiceStore, PointsFollowTheChangesWhenTheClockStepsBack) {
  TestStore t(RetentionPolicy(), GetParam());
  std::int64_t ten = 0;
  ASSERT_TRUE(point_name_time("2026-03-02T100000Z", &ten));
  const std::int64_t hour = 36000000000;
  const struct {
    std::int64_t clock;
    const char* content;
  } steps[] = {{ten, "v1"}, {ten + hour, "v2"}, {ten, "v3"}, {ten + 1000, "v4"}, {ten + hour / 2, "v5"}};
  for (const auto& step : steps) {
    t.now = step.clock;
    t.put("\\f", step.content, std::string(step.content) != "v1");
    ASSERT_TRUE(t.store.end_session(kTree, true));
    t.store.collect();
  }
  // v4 came in v3's second of the clock and shares its point.
  EXPECT_EQ(t.points(), (std::vector<std::string>{"2026-03-02T100000Z", "2026-03-02T110000Z",
                                                 "2026-03-02T110001Z", "2026-03-02T110002Z"}));
  const char* shown[] = {"v1", "v2", "v4", "v5"};
  for (std::size_t i = 0; i < t.points().size(); ++i) {
    EXPECT_EQ(t.read("\\.history\\" + t.points()[i] + "\\f"), shown[i]) << t.points()[i];
  }
  // Retention goes by the order of changes: the newest point is v5's,
  // though v2's was made later by the clock.
  RetentionPolicy keep_last;
  keep_last.last = 1;
  keep_last.daily = keep_last.weekly = keep_last.monthly = 0;
  keep_last.within_seconds = 0;
  EXPECT_EQ(points_to_keep(t.catalog.points(kTree), keep_last, ten + 2 * hour),
            std::vector<std::string>{"2026-03-02T110002Z"});
}

TEST_P(ServiceStore, TreeRulesHoldInOneStep) {
  TestStore t(RetentionPolicy(), GetParam());
  t.put("\\f", "file");
  struct Case {
    const char* what;
    std::function<void()> change;
    ErrorCode code;
  };
  const Case cases[] = {
      {"add over a file", [&] { t.put("\\f", "again"); }, kAlreadyExists},
      {"update a missing file", [&] { t.put("\\g", "x", true); }, kNotFound},
      {"update a folder", [&] { t.put("\\", "x", true); }, kInvalidPath},
      {"folder below a file", [&] { t.store.add_dir(kTree, path_of("\\f\\d")); }, kNotADirectory},
      {"file below a file", [&] { t.put("\\f\\x", "x"); }, kNotADirectory},
      {"remove a missing path", [&] { t.store.remove(kTree, path_of("\\nope")); }, kNotFound},
      {"remove the top", [&] { t.store.remove(kTree, path_of("\\")); }, kInvalidPath},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      c.change();
      ADD_FAILURE() << "no error";
    } catch (const ServiceError& e) {
      EXPECT_EQ(e.code(), c.code);
    } catch (const std::exception&) {
      // parse_storage_path and the like throw ServiceError too
      ADD_FAILURE() << "other exception";
    }
  }
  EXPECT_EQ(t.list("\\", true), (std::vector<std::string>{"\\.history\\", "\\f"}));
}

TEST_P(ServiceStore, IdenticalContentIsStoredOnceAndCollectedWhenNoPointNeedsIt) {
  TestStore t(keep_last_point(), GetParam());
  const std::string a(Store::kInlineMaxBytes * 2, 'a');
  const std::string b(Store::kInlineMaxBytes * 2, 'b');
  t.put("\\x", a);
  t.put("\\copy\\of\\x", a);
  EXPECT_EQ(t.content_files(), 1u);
  ASSERT_TRUE(t.store.end_session(kTree, true));
  t.put("\\x", b, true);
  t.store.remove(kTree, path_of("\\copy"));
  EXPECT_EQ(t.content_files(), 2u);  // a is still in the point
  // A second point a second later: with one point kept, a goes.
  ::sleep(1);
  ASSERT_TRUE(t.store.end_session(kTree, true));
  t.store.collect();
  EXPECT_EQ(t.points().size(), 1u);
  EXPECT_EQ(t.content_files(), 1u);
  EXPECT_EQ(t.read("\\x"), b);
  EXPECT_EQ(t.read("\\.history\\" + t.points().back() + "\\x"), b);
  // Stored again, a is stored anew.
  t.put("\\y", a);
  EXPECT_EQ(t.read("\\y"), a);
}

// A large file is stored as chunks: a version with bytes put into its
// middle stores about the chunks around them, both versions read back
// whole, and the chunks go with the last version that needs them.
TEST_P(ServiceStore, AChangedLargeFileStoresAboutItsChange) {
  TestStore t(keep_last_point(), GetParam());
  const std::string a = pattern_bytes(12u << 20, 7);
  const std::string b = a.substr(0, 5u << 20) + "a few bytes put in" + a.substr(5u << 20);
  t.put("\\f", a);
  ASSERT_TRUE(t.store.end_session(kTree, true));
  const std::int64_t before = t.catalog.usage(kTree.user_id).bytes;
  EXPECT_EQ(before, static_cast<std::int64_t>(a.size()));
  EXPECT_GE(t.content_files(), 4u);
  t.put("\\f", b, true);
  const std::int64_t added = t.catalog.usage(kTree.user_id).bytes - before;
  EXPECT_LE(added, static_cast<std::int64_t>(2 * Chunker::kMaxBytes)) << added;
  EXPECT_TRUE(t.read("\\f") == b);
  EXPECT_TRUE(t.read("\\.history\\" + t.points().back() + "\\f") == a);
  std::FILE* out = std::tmpfile();
  EXPECT_EQ(check_store(t.catalog, t.contents, out), 0);
  std::fclose(out);
  // Removed, and no point kept that shows it: every chunk goes.
  t.store.remove(kTree, path_of("\\f"));
  ::sleep(1);
  ASSERT_TRUE(t.store.end_session(kTree, true));
  t.store.collect();
  EXPECT_EQ(t.content_files(), 0u);
  EXPECT_EQ(t.catalog.usage(kTree.user_id).bytes, 0);
}

// A download that began before its version was dropped and collected
// reads it whole (its chunks are claimed while it reads), and the chunks
// go once it is done.
TEST_P(ServiceStore, AChunkedDownloadOutlivesTheCollectionOfItsVersion) {
  TestStore t(keep_last_point(), GetParam());
  const std::string a = pattern_bytes(6u << 20, 11);
  t.put("\\f", a);
  std::optional<ContentSource> source;
  {
    Entry entry;
    source.emplace(t.store.open_content(kTree, path_of("\\f"), &entry));
  }
  t.put("\\f", "small now", true);
  ASSERT_TRUE(t.store.end_session(kTree, true));
  t.store.collect();
  const UniqueFd copy(::memfd_create("copy", MFD_CLOEXEC));
  ASSERT_EQ(source->copy_to(copy.get()), a.size());
  std::string back(a.size(), '\0');
  ASSERT_EQ(::pread(copy.get(), &back[0], back.size(), 0), static_cast<ssize_t>(back.size()));
  EXPECT_TRUE(back == a);
  source.reset();
  ASSERT_TRUE(t.store.sync());
  EXPECT_EQ(t.content_files(), 0u);
}

// Where a content is cut depends on its bytes alone, not on how they come.
TEST(ServiceChunker, CutsTheSameWhateverThePiecesAndWithinTheBounds) {
  const std::string bytes = pattern_bytes(9u << 20, 3);
  const auto cuts = [&](std::size_t piece) {
    Chunker chunker;
    std::vector<std::size_t> ends;
    std::size_t at = 0;
    while (at < bytes.size()) {
      const std::size_t size = std::min(piece + at % 7919, bytes.size() - at);
      std::size_t done = 0;
      while (done < size) {
        bool cut = false;
        done += chunker.scan(reinterpret_cast<const unsigned char*>(bytes.data()) + at + done,
                             size - done, &cut);
        if (cut) ends.push_back(at + done);
      }
      at += size;
    }
    return ends;
  };
  const std::vector<std::size_t> whole = cuts(bytes.size());
  EXPECT_EQ(cuts(1), whole);
  EXPECT_EQ(cuts(65536), whole);
  ASSERT_GE(whole.size(), 3u);
  std::size_t start = 0;
  for (const std::size_t end : whole) {
    EXPECT_GE(end - start, Chunker::kMinBytes);
    EXPECT_LE(end - start, Chunker::kMaxBytes);
    start = end;
  }
}

NewContent large_content(const std::string& bytes) {
  NewContent content;
  content.size = static_cast<std::int64_t>(bytes.size());
  Sha256 sha;
  sha.update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  content.sha256 = sha.hex();
  content.external = true;
  return content;
}

// Two uploads of the same large content: while one has placed it and not
// yet committed its row, the other is refused, or succeeds and is then
// removed and collected. The first one's success must stay downloadable.
TEST_P(ServiceStore, AContentAnotherUploadNeedsIsNeverDeleted) {
  TestStore t(keep_last_point(), GetParam());
  t.put("\\dir", "a file where the refused upload wants a folder");
  struct Case {
    const char* what;
    std::function<void(const std::string& bytes)> meanwhile;
  };
  const Case cases[] = {
      {"an update of a missing path", [&](const std::string& bytes) {
         EXPECT_THROW(t.put("\\missing", bytes, true), ServiceError);
       }},
      {"an add below a file", [&](const std::string& bytes) {
         EXPECT_THROW(t.put("\\dir\\x", bytes), ServiceError);
       }},
      {"an add, removed and collected", [&](const std::string& bytes) {
         t.put("\\other", bytes);
         t.store.remove(kTree, path_of("\\other"));
         ASSERT_TRUE(t.store.end_session(kTree, true));
         t.store.collect();
       }},
  };
  unsigned seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string bytes = pattern_bytes(3u << 20, seed++);
    HookedWriter writer(t.store.begin_content(kTree.user_id), [&] { c.meanwhile(bytes); });
    ASSERT_EQ(::write(writer.fd(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    Entry file;
    const std::string path = "\\kept" + std::to_string(seed);
    t.store.put_file(kTree, path_of(path), false, large_content(bytes), &writer, file);
    EXPECT_TRUE(t.read(path) == bytes) << t.read(path).substr(0, 20);
  }
  // The same races between threads, many times: every success is whole.
  for (int trial = 0; trial < 40; ++trial) {
    const std::string bytes = pattern_bytes(1u << 20, 100 + trial);
    std::vector<std::thread> uploads;
    std::atomic<int> stored{0};
    for (int i = 0; i < 3; ++i) {
      uploads.emplace_back([&, i] {
        const std::string path = "\\race" + std::to_string(trial) + "-" + std::to_string(i);
        try {
          t.put(i == 0 ? "\\missing" : path, bytes, i == 0);
          EXPECT_TRUE(t.read(path) == bytes) << t.read(path).substr(0, 20);
          ++stored;
        } catch (const ServiceError&) {
          EXPECT_EQ(i, 0);
        }
      });
    }
    for (std::thread& u : uploads) u.join();
    EXPECT_EQ(stored.load(), 2);
  }
  std::FILE* out = std::tmpfile();
  EXPECT_EQ(check_store(t.catalog, t.contents, out), 0);
  std::fclose(out);
}

TEST_P(ServiceStore, CheckFindsADamagedContent) {
  TestStore t(RetentionPolicy(), GetParam());
  const std::string large(Store::kInlineMaxBytes + 10, 'q');
  t.put("\\small", "small");
  t.put("\\large", large);
  std::FILE* out = std::tmpfile();
  EXPECT_EQ(check_store(t.catalog, t.contents, out), 0);
  Entry entry;
  const UniqueFd fd = t.store.open_file(kTree, path_of("\\large"), &entry);
  const UniqueFd folder = t.contents.folder_of(kTree.user_id, entry.content, false);
  const UniqueFd file(::openat(folder.get(), entry.content.c_str(), O_WRONLY));
  ASSERT_EQ(::pwrite(file.get(), "X", 1, 7), 1);
  EXPECT_EQ(check_store(t.catalog, t.contents, out), 1);
  std::fclose(out);
}

// `brevanto-service --root ROOT check`: its exit code and what it prints.
int run_check(const std::string& root, std::string* out) {
  const std::string command = std::string(BREVANTO_SERVICE_PATH) + " --root '" + root + "' check 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  out->clear();
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out->append(buffer, n);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The content file of the large content of `size` bytes, found by its row.
std::string content_file(const std::string& store_dir, std::int64_t size) {
  sqlite3* db = nullptr;
  std::string sha;
  if (sqlite3_open((store_dir + "/catalog.sqlite3").c_str(), &db) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    const std::string sql = "SELECT sha256 FROM contents WHERE size = " + std::to_string(size);
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
      sha = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    }
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return store_dir + "/content/u1/" + sha.substr(0, 2) + "/" + sha;
}

// Damages to a good store, each made with SQL or to a content's file, as a
// faulty disk, tool or program could: `check` reports every one with a
// line and exits 1.
TEST(ServiceStoreCheck, ReportsEveryDamage) {
  TempDir dir;
  const std::string good = dir.make_dir("good");
  ASSERT_EQ(::mkdir((good + "/store").c_str(), 0700), 0);
  {
    const int store_fd = ::open((good + "/store").c_str(), O_RDONLY | O_DIRECTORY);
    SqliteFileCatalog catalog(good + "/store/catalog.sqlite3");
    FolderContentStore contents(store_fd, "content", good + "/store");
    std::int64_t now = filetime_now() - 36000000000;
    Store store(catalog, contents, RetentionPolicy(), std::chrono::seconds(1),
                [&] { return now; });
    store.open_tree(kTree);
    put_into(store, "\\d\\small", "small");
    put_into(store, "\\d\\big", pattern_bytes(200000, 1));
    put_into(store, "\\d\\sub\\x", pattern_bytes(70000, 2));
    put_into(store, "\\d\\chunked", pattern_bytes(6u << 20, 4));
    ASSERT_TRUE(store.end_session(kTree, true));
    now += 36000000000;
    put_into(store, "\\d\\small", "SMALL", true);
    ASSERT_TRUE(store.end_session(kTree, true));
    ::close(store_fd);
  }
  std::string out;
  ASSERT_EQ(run_check(good, &out), 0) << out;

  struct Damage {
    const char* what;
    const char* sql;  // or null, and `file` instead
    std::function<void(const std::string& store_dir)> file;
    const char* reported;
  };
  const Damage damages[] = {
      {"a live content listed as doomed",
       "INSERT INTO doomed SELECT user_id, sha256 FROM contents WHERE size = 200000", nullptr,
       "is doomed but still held"},
      {"a file's size changed", "UPDATE nodes SET size = 5 WHERE name = 'big'", nullptr,
       "\\d\\big: its size is 5 bytes, its content's 200000"},
      {"a folder row deleted", "DELETE FROM nodes WHERE name = 'sub'", nullptr,
       "\\d\\sub\\x: its folder \\d\\sub\\ has no row"},
      {"a reference count off", "UPDATE contents SET refs = refs + 1 WHERE size = 70000", nullptr,
       "counts 2 references, rows hold 1"},
      {"a content row deleted", "DELETE FROM contents WHERE size = 200000", nullptr,
       "\\d\\big: its content"},
      {"a past version's row changed", "UPDATE history SET to_seq = from_seq", nullptr,
       "\\d\\small (past version): it ends"},
      {"the newest point moved back",
       "UPDATE points SET seq = 0 WHERE name = (SELECT MAX(name) FROM points)", nullptr,
       "comes before point"},
      {"a point renamed", "UPDATE points SET name = 'yesterday' WHERE seq = (SELECT MIN(seq) FROM"
       " points)", nullptr, "point yesterday: not a point's name"},
      {"a small content's bytes changed",
       "UPDATE contents SET data = CAST('smalL' AS BLOB) WHERE data = CAST('small' AS BLOB)",
       nullptr, "damaged (5 bytes"},
      {"an index that does not match its table",
       "PRAGMA writable_schema = ON; UPDATE sqlite_master SET sql = 'CREATE INDEX history_path"
       " ON history(user_id, project, parent, name, to_seq)' WHERE name = 'history_path'",
       nullptr, "catalog damaged: "},
      {"a usage row off", "UPDATE usage SET bytes = bytes - 1", nullptr,
       "its usage counts"},
      {"a chunk list damaged",
       "UPDATE contents SET data = CAST('x' AS BLOB) WHERE size = 6291456", nullptr,
       "its chunk list is damaged"},
      {"the rows of a content's chunks deleted",
       "DELETE FROM contents WHERE external AND data IS NULL AND size NOT IN (200000, 70000)",
       nullptr, "is not held"},
      {"two chunks swapped in a list",
       "UPDATE contents SET data = substr(data, instr(data, x'0a') + 1)"
       " || substr(data, 1, instr(data, x'0a')) WHERE size = 6291456",
       nullptr, "damaged (6291456 bytes"},
      {"a content file removed", nullptr,
       [](const std::string& store_dir) { ::unlink(content_file(store_dir, 200000).c_str()); },
       "No such file"},
      {"a content file cut short", nullptr,
       [](const std::string& store_dir) {
         ASSERT_EQ(::truncate(content_file(store_dir, 70000).c_str(), 100), 0);
       },
       "damaged (100 bytes"},
  };
  int n = 0;
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    const std::string root = dir.path() + "/case" + std::to_string(++n);
    ASSERT_EQ(std::system(("cp -a '" + good + "' '" + root + "'").c_str()), 0);
    if (d.sql != nullptr) {
      sqlite3* db = nullptr;
      ASSERT_EQ(sqlite3_open((root + "/store/catalog.sqlite3").c_str(), &db), SQLITE_OK);
      char* error = nullptr;
      EXPECT_EQ(sqlite3_exec(db, d.sql, nullptr, nullptr, &error), SQLITE_OK)
          << (error ? error : "");
      sqlite3_free(error);
      sqlite3_close(db);
    } else {
      d.file(root + "/store");
    }
    EXPECT_EQ(run_check(root, &out), 1) << out;
    EXPECT_NE(out.find(d.reported), std::string::npos) << out;
  }
}

// The error a change is refused with: "code: detail", or "none".
std::string refusal(const std::function<void()>& change) {
  try {
    change();
    return "none";
  } catch (const ServiceError& e) {
    return std::to_string(e.code()) + ": " + e.what();
  }
}

TEST_P(ServiceStore, QuotasCountEachContentOnceAndEveryEntry) {
  TestStore t(keep_last_point(), GetParam());
  t.store.set_quotas([](std::int64_t) { return Quota{300000, 6, "ann"}; });
  const std::string a = pattern_bytes(200000, 1);
  const std::string b = pattern_bytes(200000, 2);
  t.put("\\a", a);  // the top and \a: 2 entries
  EXPECT_EQ(refusal([&] { t.put("\\b", b); }).rfind("7: the quota of account ann is reached", 0),
            0u);
  EXPECT_EQ(refusal([&] { t.put("\\copy", a); }), "none");  // held already: no bytes more
  t.store.add_dir(kTree, path_of("\\d\\e"));
  t.put("\\d\\small", "x");
  EXPECT_EQ(refusal([&] { t.store.add_dir(kTree, path_of("\\f")); }).substr(0, 2), "7:");
  EXPECT_EQ(refusal([&] { t.put("\\d\\small", "y", true); }).substr(0, 2), "7:");  // a past row
  EXPECT_EQ(t.catalog.usage(kTree.user_id).bytes, 200001);
  EXPECT_EQ(t.catalog.usage(kTree.user_id).entries, 6);
  EXPECT_EQ(t.content_files(), 1u);  // b's content did not stay
  std::string why;
  EXPECT_FALSE(t.store.has_room(kTree.user_id, 200000, &why));
  EXPECT_NE(why.find("ann"), std::string::npos) << why;

  // Removed and forgotten, a's bytes and the rows are free again.
  t.store.remove(kTree, path_of("\\a"));
  t.store.remove(kTree, path_of("\\copy"));
  ASSERT_TRUE(t.store.end_session(kTree, true));
  t.store.collect();
  EXPECT_EQ(t.catalog.usage(kTree.user_id).bytes, 1);
  EXPECT_EQ(refusal([&] { t.put("\\b", b); }), "none");
  std::FILE* out = std::tmpfile();
  EXPECT_EQ(check_store(t.catalog, t.contents, out), 0);
  std::fclose(out);
}

// Changes from several threads share a transaction. One refused before it
// writes (the path exists) or after (the quota is passed) leaves the others
// of its batch whole, and nothing of itself: not the folder it made, which
// the next upload into that folder makes again.
TEST_P(ServiceStore, ARefusedChangeLeavesTheOthersOfItsBatch) {
  TestStore t(RetentionPolicy(), GetParam());
  t.store.set_quotas([](std::int64_t) { return Quota{50000, 0, "ann"}; });
  const std::string big = pattern_bytes(40000, 7);  // inline, over the quota with the rest
  t.put("\\held", pattern_bytes(20000, 8));
  constexpr int kThreads = 4;
  constexpr int kRounds = 40;
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (int k = 0; k < kRounds; ++k) {
        const std::string path = "\\t" + std::to_string(i) + "-" + std::to_string(k);
        EXPECT_EQ(refusal([&] { t.put(path, path); }), "none");
        EXPECT_EQ(refusal([&] { t.put(path, "again"); }).substr(0, 2), "4:");
        EXPECT_EQ(refusal([&] { t.put(path + "-new\\big", big); }).substr(0, 2), "7:");
        EXPECT_EQ(refusal([&] { t.put(path + "-new\\small", "s"); }), "none");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::int64_t bytes = 20000;
  for (int i = 0; i < kThreads; ++i) {
    for (int k = 0; k < kRounds; ++k) {
      const std::string path = "\\t" + std::to_string(i) + "-" + std::to_string(k);
      EXPECT_EQ(t.read(path), path);
      EXPECT_EQ(t.read(path + "-new\\big"), "(error 3)");
      EXPECT_EQ(t.read(path + "-new\\small"), "s");
      bytes += static_cast<std::int64_t>(path.size());
    }
  }
  EXPECT_EQ(t.catalog.usage(kTree.user_id).bytes, bytes + 1);  // "s" once
  EXPECT_EQ(t.catalog.usage(kTree.user_id).entries, 2 + kThreads * kRounds * 3);
  std::FILE* out = std::tmpfile();
  EXPECT_EQ(check_store(t.catalog, t.contents, out), 0);
  std::fclose(out);
}

TEST_P(ServiceStore, AContentFolderMovedAwayIsNotWrittenTo) {
  TestStore t(RetentionPolicy(), GetParam());
  const std::string large(Store::kInlineMaxBytes + 10, 'm');
  t.put("\\before", large);
  // Someone with write access to the storage root swaps the folder the
  // service holds open for a link to elsewhere.
  const std::string elsewhere = t.dir.make_dir("elsewhere");
  ASSERT_EQ(std::rename((t.dir.path() + "/content").c_str(), (t.dir.path() + "/moved").c_str()),
            0);
  ASSERT_EQ(::symlink(elsewhere.c_str(), (t.dir.path() + "/content").c_str()), 0);
  EXPECT_THROW(t.put("\\after", std::string(Store::kInlineMaxBytes + 10, 'n')), ServiceError);
  EXPECT_EQ(t.read("\\before"), "(error 8)");
  EXPECT_EQ(tree_listing(elsewhere), std::vector<std::string>{});
  EXPECT_EQ(tree_listing(t.dir.path() + "/moved/tmp"), std::vector<std::string>{});
}

Point point_at(const char* name, const char* utc) {
  std::tm tm{};
  ::strptime(utc, "%Y-%m-%d %H:%M", &tm);
  return Point{name, 0, kUnixEpochFiletime + static_cast<std::int64_t>(::timegm(&tm)) * 10000000};
}

TEST(ServiceRetention, KeepsTheNewestOfEachBucket) {
  const std::vector<Point> points = {
      point_at("jan-a", "2026-01-10 10:00"), point_at("jan-b", "2026-01-20 10:00"),
      point_at("feb", "2026-02-03 10:00"),   point_at("mon-a", "2026-03-02 08:00"),
      point_at("mon-b", "2026-03-02 20:00"), point_at("tue", "2026-03-03 09:00"),
  };
  const std::int64_t now = point_at("", "2026-03-03 10:00").made;
  struct Case {
    int last, daily, weekly, monthly;
    std::int64_t within;
    std::vector<std::string> kept;
  };
  const Case cases[] = {
      {0, 0, 0, 0, 0, {"tue"}},  // the newest always
      {2, 0, 0, 0, 0, {"mon-b", "tue"}},
      {0, 2, 0, 0, 0, {"mon-b", "tue"}},
      {0, 0, 2, 0, 0, {"feb", "tue"}},  // 2026-03-02 and 03 share an ISO week
      {0, 0, 0, 3, 0, {"feb", "jan-b", "tue"}},
      {0, 0, 0, 0, 86400, {"mon-b", "tue"}},
      {0, 0, 0, 0, 30 * 3600, {"mon-a", "mon-b", "tue"}},
  };
  for (const Case& c : cases) {
    const RetentionPolicy policy{c.last, c.daily, c.weekly, c.monthly, c.within};
    EXPECT_EQ(points_to_keep(points, policy, now), c.kept)
        << c.last << " " << c.daily << " " << c.weekly << " " << c.monthly << " " << c.within;
  }
  std::int64_t seconds = 0;
  EXPECT_TRUE(parse_duration("12h", &seconds));
  EXPECT_EQ(seconds, 12 * 3600);
  for (const char* bad : {"", "7", "d", "-1d", "7dd", "99999999999999999y"}) {
    EXPECT_FALSE(parse_duration(bad, &seconds)) << bad;
  }
}

TEST(ServiceMigration, TheOlderLayoutMovesWithItsRows) {
  TempDir dir;
  const std::string tree = dir.path() + "/data/u1/default";
  ASSERT_EQ(::system(("mkdir -p '" + tree + "/docs/empty' '" + tree + "/.history' '" +
                      dir.path() + "/data/u1/p-78'").c_str()),
            0);
  const std::string large(Store::kInlineMaxBytes + 5, 'z');
  ASSERT_TRUE(write_file(tree + "/docs/a.txt", "alpha"));
  ASSERT_TRUE(write_file(tree + "/docs/large", large));
  ASSERT_TRUE(write_file(tree + "/.history/mine", "kept"));
  ASSERT_TRUE(write_file(dir.path() + "/data/u1/p-78/in-x", "project x"));
  Catalog old_rows(dir.path() + "/old.sqlite3");
  RowChange row;
  row.row = FileRow{1, "", "\\docs\\a.txt", 0, 3, "", 5, 111, 222};
  old_rows.commit_changes({}, {&row}, {});
  old_rows.commit_changes({}, {&row}, {});  // replaced once more: Reversion 1 again
  row.update = true;
  old_rows.commit_changes({}, {&row}, {});  // Reversion 2

  const int root_fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  {
    SqliteFileCatalog catalog(dir.path() + "/catalog.sqlite3");
    FolderContentStore contents(root_fd, "content", dir.path());
    Store store(catalog, contents, RetentionPolicy());
    EXPECT_EQ(migrate_old_layout(root_fd, old_rows, catalog, store), 4);
  }
  EXPECT_FALSE(path_exists(dir.path() + "/data"));
  SqliteFileCatalog catalog(dir.path() + "/catalog.sqlite3");
  FolderContentStore contents(root_fd, "content", dir.path());
  Store store(catalog, contents, RetentionPolicy());
  EXPECT_EQ(migrate_old_layout(root_fd, old_rows, catalog, store), 0);
  const Entry a = store.stat(kTree, path_of("\\docs\\a.txt"));
  EXPECT_EQ(a.reversion, 2);
  EXPECT_EQ(a.backup_type, 3);
  EXPECT_EQ(a.create_time, 111);
  EXPECT_EQ(store.stat(kTree, path_of("\\docs\\empty")).is_dir, true);
  Entry entry;
  for (const auto& [tree_id, path, bytes] :
       std::vector<std::tuple<TreeId, std::string, std::string>>{
           {kTree, "\\docs\\a.txt", "alpha"},
           {kTree, "\\docs\\large", large},
           {kTree, "\\.history.old\\mine", "kept"},
           {TreeId{1, "x"}, "\\in-x", "project x"}}) {
    const UniqueFd fd = store.open_file(tree_id, path_of(path), &entry);
    std::string got(bytes.size(), '\0');
    EXPECT_EQ(::read(fd.get(), &got[0], got.size()), static_cast<ssize_t>(got.size()));
    EXPECT_EQ(got, bytes) << path;
  }
  ::close(root_fd);
}

// A tree holding both ".history" and ".history.old": neither folder takes
// the other's place. The first run is cut short (the content folder is
// swapped away, so the large file cannot be stored); the second keeps to
// the name the first chose and moves the rest.
TEST(ServiceMigration, AHistoryFolderTakesAFreeNameAcrossARestart) {
  TempDir dir;
  const std::string tree = dir.path() + "/data/u1/default";
  ASSERT_EQ(::system(("mkdir -p '" + tree + "/.history' '" + tree + "/.history.old'").c_str()), 0);
  const std::string large(Store::kInlineMaxBytes + 5, 'z');
  ASSERT_TRUE(write_file(tree + "/.history/a.txt", "from .history"));
  ASSERT_TRUE(write_file(tree + "/.history.old/a.txt", "the user's own"));
  ASSERT_TRUE(write_file(tree + "/.history.old/b.txt", "b"));
  ASSERT_TRUE(write_file(tree + "/zz-large", large));
  Catalog old_rows(dir.path() + "/old.sqlite3");
  RowChange row;
  row.row = FileRow{1, "", "\\.history.old\\a.txt", 0, 7, "", 14, 111, 222};
  old_rows.commit_changes({}, {&row}, {});

  const int root_fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  const int log_fd = ::open((dir.path() + "/log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  set_log_fd(log_fd);
  {
    SqliteFileCatalog catalog(dir.path() + "/catalog.sqlite3");
    FolderContentStore contents(root_fd, "content", dir.path());
    Store store(catalog, contents, RetentionPolicy());
    ASSERT_EQ(std::rename((dir.path() + "/content").c_str(), (dir.path() + "/moved").c_str()), 0);
    ASSERT_EQ(::symlink(dir.make_dir("elsewhere").c_str(), (dir.path() + "/content").c_str()), 0);
    EXPECT_THROW(migrate_old_layout(root_fd, old_rows, catalog, store), ServiceError);
  }
  ASSERT_EQ(::unlink((dir.path() + "/content").c_str()), 0);
  ASSERT_EQ(std::rename((dir.path() + "/moved").c_str(), (dir.path() + "/content").c_str()), 0);
  SqliteFileCatalog catalog(dir.path() + "/catalog.sqlite3");
  FolderContentStore contents(root_fd, "content", dir.path());
  Store store(catalog, contents, RetentionPolicy());
  EXPECT_EQ(migrate_old_layout(root_fd, old_rows, catalog, store), 1);
  EXPECT_FALSE(path_exists(dir.path() + "/data"));

  std::vector<std::string> listed;
  store.list(kTree, path_of(""), true,
             [&](const Entry& e) { listed.push_back(e.parent + e.name); });
  EXPECT_EQ(listed, (std::vector<std::string>{"\\.history", "\\.history.old",
                                              "\\.history.old\\a.txt",
                                              "\\.history.old\\b.txt", "\\.history.old-2",
                                              "\\.history.old-2\\a.txt", "\\zz-large"}));
  Entry entry;
  for (const auto& [path, bytes] : std::vector<std::pair<std::string, std::string>>{
           {"\\.history.old\\a.txt", "the user's own"},
           {"\\.history.old-2\\a.txt", "from .history"},
           {"\\zz-large", large}}) {
    const UniqueFd fd = store.open_file(kTree, path_of(path), &entry);
    std::string got(bytes.size(), '\0');
    EXPECT_EQ(::read(fd.get(), &got[0], got.size()), static_cast<ssize_t>(got.size()));
    EXPECT_EQ(got, bytes) << path;
  }
  EXPECT_EQ(store.stat(kTree, path_of("\\.history.old\\a.txt")).backup_type, 7);
  EXPECT_EQ(store.stat(kTree, path_of("\\.history.old-2\\a.txt")).backup_type, 0);
  set_log_fd(STDERR_FILENO);
  ::close(log_fd);
  EXPECT_NE(read_file(dir.path() + "/log").find("as \\.history.old-2: \\.history.old is"),
            std::string::npos);
  ::close(root_fd);
}

}  // namespace

namespace {

// A storage root that the service of the older layout made (three backups
// of one folder, a large file, an empty folder, a second project),
// served by this one: everything is there with its Reversion and times.
TEST(ServiceMigration, AStoreOfTheOlderServiceIsServedWhole) {
  TempDir dir;
  ASSERT_EQ(std::system(("tar -xzf " BREVANTO_TEST_DATA "/store-v1.tar.gz -C " + dir.path())
                            .c_str()),
            0);
  const std::string local = dir.make_dir("local");
  ServiceProcess service(dir.path() + "/root", {local}, dir.path() + "/service.log");
  ASSERT_TRUE(service.start()) << service.log();
  EXPECT_FALSE(path_exists(dir.path() + "/root/data"));

  struct Expected {
    const wchar_t* project;
    const wchar_t* path;
    std::string content;  // its start, for the large one
    int reversion;
  };
  const Expected expected[] = {
      {L"default", L"\\docs\\a.txt", "three", 3},
      {L"default", L"\\docs\\big.bin", "large content of the older layout\n", 1},
      {L"work", L"\\w.txt", "work", 1},
  };
  for (const Expected& e : expected) {
    CServiceConnection conn;
    conn.port = service.port();
    ASSERT_EQ(conn.login(L"alice", L"s3cret", e.project, L"1"), 0);
    WIN32_FILE_ATTRIBUTE_DATA data;
    int backup_type = -1, reversion = -1;
    ASSERT_EQ(conn.getfileinfo(e.path, data, backup_type, reversion), 0);
    EXPECT_EQ(reversion, e.reversion);
    const std::wstring copy = widen(local + "/copy");
    ASSERT_EQ(conn.downloadfile(copy.c_str(), e.path, nullptr, nullptr), 0);
    EXPECT_EQ(read_file(local + "/copy").substr(0, e.content.size()), e.content);
    if (e.reversion == 3) {  // 2020-01-02 03:04:05 UTC, the local file's time then
      const std::int64_t modified =
          (static_cast<std::int64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
          data.ftLastWriteTime.dwLowDateTime;
      EXPECT_EQ(modified, 132855662450000000);
    }
    if (e.reversion == 1 && e.content.size() > 10) {
      EXPECT_EQ(read_file(local + "/copy").size(), 100000u);
      EXPECT_EQ(conn.getfileinfo(L"\\empty\\folder", data, backup_type, reversion), 0);
    }
  }
}

}  // namespace

namespace {

// Runs `command` through the shell: its exit code and what it printed.
int run(const std::string& command, std::string* out) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  out->clear();
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out->append(buffer, n);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A folder mounted over for a test, unmounted at the end.
struct Mount {
  Mount(const std::string& source, const std::string& target, const char* type,
        unsigned long flags, const std::string& options)
      : target(target) {
    ok = ::mount(source.c_str(), target.c_str(), type, flags, options.c_str()) == 0;
  }
  ~Mount() {
    if (ok) ::umount2(target.c_str(), MNT_DETACH);
  }
  std::string target;
  bool ok = false;
};

// A quota set on alice's account while the service serves: an upload over
// it is "disk full" (the log names the quota), a copy of content she
// holds is not, and `stats` shows her line.
TEST(ServiceQuota, IsKeptAndShown) {
  ServiceEnv env(0, {"--quota-files", "100"});
  ASSERT_TRUE(env.started) << env.service.log();
  std::string out;
  ASSERT_EQ(run(std::string(BREVANTO_SERVICE_PATH) + " --root " + env.root +
                    " --add-user alice --quota-bytes 300K",
                &out),
            0)
      << out;
  ASSERT_TRUE(write_file(env.local + "/a", pattern_bytes(200000, 1)));
  ASSERT_TRUE(write_file(env.local + "/b", pattern_bytes(200000, 2)));
  CServiceConnection conn;
  conn.port = env.service.port();
  ASSERT_EQ(conn.login(L"alice", L"s3cret", L"", L"1"), 0);
  EXPECT_EQ(conn.addfile(widen(env.local + "/a").c_str(), L"\\a", nullptr, nullptr), 0);
  EXPECT_EQ(conn.addfile(widen(env.local + "/b").c_str(), L"\\b", nullptr, nullptr), -3);
  EXPECT_EQ(conn.err_code, 7);
  EXPECT_EQ(conn.err_text.rfind(L"disk full: the quota of account alice is reached", 0), 0u)
      << conn.err_code;
  EXPECT_EQ(conn.addfile(widen(env.local + "/a").c_str(), L"\\copy", nullptr, nullptr), 0);
  EXPECT_EQ(env.stored_content("\\copy"), pattern_bytes(200000, 1));
  // Raised while she is logged in: it counts within a second.
  ASSERT_EQ(run(std::string(BREVANTO_SERVICE_PATH) + " --root " + env.root +
                    " --add-user alice --quota-bytes 500K",
                &out),
            0)
      << out;
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(conn.addfile(widen(env.local + "/b").c_str(), L"\\b", nullptr, nullptr), 0);
  conn.logout();
  EXPECT_NE(env.service.log().find("the quota of account alice is reached: 200000 of 307200"),
            std::string::npos);
  env.service.stop(SIGTERM);
  ASSERT_EQ(run(std::string(BREVANTO_SERVICE_PATH) + " --root " + env.root +
                    " --quota-files 100 stats",
                &out),
            0)
      << out;
  // The top, \a, \copy and \b; a's bytes once.
  EXPECT_NE(out.find("alice                         400000          512000   78%        "
                     "  4        100    4%"),
            std::string::npos)
      << out;
}

// A second copy of content already stored needs no room: with less free
// space than its size it is stored all the same; new content is refused.
TEST(ServiceQuota, AStoredContentIsStoredAgainOnAFullDisk) {
  ServiceEnv env;
  ASSERT_TRUE(env.started) << env.service.log();
  env.service.stop(SIGTERM);
  Mount tmpfs("tmpfs", env.root + "/store/content", "tmpfs", MS_NOSUID | MS_NODEV,
              "size=8m,mode=0700");
  if (!tmpfs.ok) GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
  ASSERT_TRUE(env.service.start()) << env.service.log();
  const std::string big = pattern_bytes(5u << 20, 1);
  ASSERT_TRUE(write_file(env.local + "/big", big));
  ASSERT_TRUE(write_file(env.local + "/other", pattern_bytes(5u << 20, 2)));
  CServiceConnection conn;
  conn.port = env.service.port();
  ASSERT_EQ(conn.login(L"alice", L"s3cret", L"", L"1"), 0);
  ASSERT_EQ(conn.addfile(widen(env.local + "/big").c_str(), L"\\big", nullptr, nullptr), 0);
  EXPECT_EQ(conn.addfile(widen(env.local + "/big").c_str(), L"\\again", nullptr, nullptr), 0)
      << conn.err_code;
  EXPECT_EQ(conn.addfile(widen(env.local + "/other").c_str(), L"\\other", nullptr, nullptr), -3);
  EXPECT_EQ(conn.err_code, 7);
  EXPECT_TRUE(env.stored_content("\\again") == big);
  EXPECT_EQ(tree_listing(env.root + "/store/content/tmp"), std::vector<std::string>{});
}

// A storage root mounted read-only is served with --read-only: listings,
// file information and downloads (also of earlier versions) work, every
// change is refused with error 15.
TEST(ServiceReadOnly, ServesAReadOnlyRoot) {
  ServiceEnv env;
  ASSERT_TRUE(env.started) << env.service.log();
  ASSERT_TRUE(write_file(env.local + "/big", pattern_bytes(100000, 3)));
  {
    CServiceConnection conn;
    conn.port = env.service.port();
    ASSERT_EQ(conn.login(L"alice", L"s3cret", L"", L"1"), 0);
    ASSERT_EQ(conn.addfile(widen(env.local + "/big").c_str(), L"\\d\\big", nullptr, nullptr), 0);
    conn.logout();
  }
  env.service.stop(SIGTERM);
  Mount bind(env.root, env.root, nullptr, MS_BIND, "");
  if (!bind.ok) GTEST_SKIP() << "cannot bind-mount: " << std::strerror(errno);
  ASSERT_EQ(::mount(nullptr, env.root.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                    nullptr),
            0);
  // Without --read-only the service cannot start on it.
  ServiceProcess writable(env.root, {env.local}, env.dir.path() + "/rw.log");
  EXPECT_FALSE(writable.start());
  ServiceProcess service(env.root, {env.local}, env.dir.path() + "/ro.log", {"--read-only"});
  ASSERT_TRUE(service.start()) << service.log();
  CServiceConnection conn;
  conn.port = service.port();
  ASSERT_EQ(conn.login(L"alice", L"s3cret", L"", L"1"), 0);
  std::list<_path_buffer*> listing;
  ASSERT_EQ(conn.getfilelist(L"\\.history", false, listing), 0);
  ASSERT_EQ(listing.size(), 1u);
  const std::wstring point = listing.front()->full_path;
  for (_path_buffer* entry : listing) delete entry;
  listing.clear();
  for (const std::wstring& path : {std::wstring(L"\\d\\big"), point + L"\\d\\big"}) {
    ASSERT_EQ(conn.downloadfile(widen(env.local + "/back").c_str(), path.c_str(), nullptr,
                                nullptr),
              0);
    EXPECT_TRUE(read_file(env.local + "/back") == pattern_bytes(100000, 3));
  }
  // Replacing a local file goes through a named temp file, not journaled.
  ASSERT_EQ(conn.downloadfile(widen(env.local + "/back").c_str(), L"\\d\\big", nullptr, nullptr),
            0);
  WIN32_FILE_ATTRIBUTE_DATA data;
  int backup_type = 0, reversion = 0;
  EXPECT_EQ(conn.getfileinfo(L"\\d\\big", data, backup_type, reversion), 0);
  EXPECT_EQ(reversion, 1);
  const std::function<int()> changes[] = {
      [&] { return conn.addfile(widen(env.local + "/big").c_str(), L"\\new", nullptr, nullptr); },
      [&] { return conn.updatefile(widen(env.local + "/big").c_str(), L"\\d\\big", nullptr,
                                   nullptr); },
      [&] { return conn.adddir(L"\\e"); },
      [&] { return conn.removefile(L"\\d\\big"); },
  };
  for (const auto& change : changes) {
    EXPECT_EQ(change(), -3);
    EXPECT_EQ(conn.err_code, 15);
  }
  // Another project's tree, never made, is empty.
  CServiceConnection other;
  other.port = service.port();
  ASSERT_EQ(other.login(L"alice", L"s3cret", L"never", L"1"), 0);
  ASSERT_EQ(other.getfilelist(L"\\", true, listing), 0);
  EXPECT_EQ(listing.size(), 1u);  // \.history only
  for (_path_buffer* entry : listing) delete entry;
  other.logout();
  conn.logout();
  EXPECT_EQ(service.stop(SIGTERM), 0);
}

}  // namespace
