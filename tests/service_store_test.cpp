// The store on its own: versions and the "\.history" view, content stored
// once, retention and garbage collection, and the move from the older
// layout.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "protocol/service_connection.h"
#include "service/errors.h"
#include "service/log.h"
#include "service/store/catalog.h"
#include "service/store/filetime.h"
#include "service/store/folder_content_store.h"
#include "service/store/older_layout/migration.h"
#include "service/store/retention.h"
#include "service/store/sqlite_file_catalog.h"
#include "service/store/store.h"
#include "service/store/store_check.h"
#include "tests/service_test_files.h"
#include "tests/service_test_process.h"
#include "util/sha256.h"

namespace {

const TreeId kTree{1, ""};

StoragePath path_of(const std::string& text) { return parse_storage_path(text); }

// A store in a temp folder, as the service lays it out.
struct TestStore {
  explicit TestStore(RetentionPolicy retention = RetentionPolicy())
      : root_fd(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY)),
        catalog(dir.path() + "/catalog.sqlite3"),
        contents(root_fd, "content", dir.path()),
        store(catalog, contents, retention) {
    store.open_tree(kTree);
  }
  ~TestStore() { ::close(root_fd); }

  void put(const std::string& path, const std::string& bytes, bool update = false) {
    NewContent content;
    content.size = static_cast<std::int64_t>(bytes.size());
    Sha256 sha;
    sha.update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    content.sha256 = sha.hex();
    std::unique_ptr<ContentWriter> writer;
    if (content.size > Store::kInlineMaxBytes) {
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

  TempDir dir;
  int root_fd;
  SqliteFileCatalog catalog;
  FolderContentStore contents;
  Store store;
};

TEST(ServiceStore, EveryVersionIsKeptAndSeenThroughHistory) {
  TestStore t;
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

TEST(ServiceStore, TreeRulesHoldInOneStep) {
  TestStore t;
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

TEST(ServiceStore, IdenticalContentIsStoredOnceAndCollectedWhenNoPointNeedsIt) {
  RetentionPolicy keep_one;
  keep_one.last = 1;
  keep_one.daily = keep_one.weekly = keep_one.monthly = 0;
  keep_one.within_seconds = 0;
  TestStore t(keep_one);
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

TEST(ServiceStore, CheckFindsADamagedContent) {
  TestStore t;
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

TEST(ServiceStore, AContentFolderMovedAwayIsNotWrittenTo) {
  TestStore t;
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
