// Services sharing one PostgreSQL catalog, in one process: each "service"
// is a store on a connection of its own, and all of them share one content
// folder, as services on many hosts share an object store. Runs only when
// BREVANTO_TEST_PG names a database (scripts/test-pg.sh).
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "service/errors.h"
#include "service/store/filetime.h"
#include "service/store/folder_content_store.h"
#include "service/store/pg_connection.h"
#include "service/store/pg_file_catalog.h"
#include "service/store/pg_schema.h"
#include "service/store/store.h"
#include "service/store/store_check.h"
#include "tests/hooked_writer.h"
#include "tests/service_test_files.h"
#include "tests/store_test_catalogs.h"
#include "util/sha256.h"

namespace {

const TreeId kTree{1, ""};

RetentionPolicy keep_one() {
  RetentionPolicy keep;
  keep.last = 1;
  keep.daily = keep.weekly = keep.monthly = 0;
  keep.within_seconds = 0;
  return keep;
}

// One service: its own connection, the shared content folder.
struct Service {
  Service(int root_fd, const std::string& root, RetentionPolicy retention = keep_one(),
          Store::Clock clock = filetime_now)
      : catalog(test_pg_conninfo()),
        contents(root_fd, "content", root),
        store(catalog, contents, retention, std::chrono::seconds(1), std::move(clock)) {
    store.open_tree(kTree);
  }
  // Stores `bytes` at `path`; `placed` runs once a large content is in
  // place, before its row commits.
  void put(const std::string& path, const std::string& bytes,
           const std::function<void()>& placed = nullptr) {
    NewContent content;
    content.size = static_cast<std::int64_t>(bytes.size());
    Sha256 sha;
    sha.update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    content.sha256 = sha.hex();
    content.external = content.size > Store::kInlineMaxBytes;
    std::unique_ptr<ContentWriter> writer;
    if (content.external) {
      writer = std::make_unique<HookedWriter>(store.begin_content(kTree.user_id), placed);
      EXPECT_EQ(::write(writer->fd(), bytes.data(), bytes.size()),
                static_cast<ssize_t>(bytes.size()));
    } else {
      content.bytes = bytes;
    }
    Entry file;
    file.create_time = file.modify_time = filetime_now();
    store.put_file(kTree, parse_storage_path(path), false, std::move(content), writer.get(), file);
  }
  std::string read(const std::string& path) {
    try {
      Entry entry;
      const UniqueFd fd = store.open_file(kTree, parse_storage_path(path), &entry);
      std::string out(static_cast<std::size_t>(entry.size), '\0');
      if (!out.empty() && ::read(fd.get(), &out[0], out.size()) != entry.size) return "(short)";
      return out;
    } catch (const ServiceError& e) {
      return "(error " + std::to_string(e.code()) + ")";
    }
  }
  PgFileCatalog catalog;
  FolderContentStore contents;
  Store store;
};

class SharedCatalog : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = pg_test_skip_reason();
    if (!why.empty()) GTEST_SKIP() << why;
    reset_test_pg();
    root_fd_ = ::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY);
  }
  void TearDown() override {
    if (root_fd_ >= 0) ::close(root_fd_);
  }
  std::unique_ptr<Service> service() { return std::make_unique<Service>(root_fd_, dir_.path()); }
  // The check's faults; its lines are appended to `report` (or printed).
  long check(Service& s, std::string* report = nullptr) {
    std::FILE* out = std::tmpfile();
    const long faults = check_store(s.catalog, s.contents, out);
    std::rewind(out);
    char line[512];
    while (std::fgets(line, sizeof line, out) != nullptr) {
      if (report != nullptr) {
        *report += line;
      } else {
        std::printf("check: %s", line);
      }
    }
    std::fclose(out);
    return faults;
  }

  TempDir dir_;
  int root_fd_ = -1;
};

// While one service's upload has put a large content in place and not yet
// committed its row, the other stores the same bytes, removes them and
// collects: the content is dropped from the catalog and doomed, but the
// first upload's claim keeps it from being deleted. Then the same race
// between threads, many times. Every success reads whole through both.
TEST_F(SharedCatalog, ACollectionNeverDeletesAContentAnotherServiceNeeds) {
  auto a = service();
  auto b = service();
  const auto store_remove_collect = [](Service& s, const std::string& path,
                                       const std::string& bytes) {
    s.put(path, bytes);
    s.store.remove(kTree, parse_storage_path(path));
    EXPECT_TRUE(s.store.end_session(kTree, true));
    s.store.collect();
  };
  for (int trial = 0; trial < 30; ++trial) {
    const std::string bytes = pattern_bytes((1u << 18) + trial, 500 + trial);
    const std::string path = "\\kept" + std::to_string(trial);
    const std::string gone = "\\gone" + std::to_string(trial);
    Service& collector = trial % 2 == 0 ? *a : *b;
    Service& keeper = trial % 2 == 0 ? *b : *a;
    if (trial < 4) {
      keeper.put(path, bytes, [&] { store_remove_collect(collector, gone, bytes); });
    } else {
      std::thread collecting([&] { store_remove_collect(collector, gone, bytes); });
      keeper.put(path, bytes);
      collecting.join();
    }
    for (Service* s : {a.get(), b.get()}) {
      EXPECT_TRUE(s->read(path) == bytes) << path << ": " << s->read(path).substr(0, 20);
    }
  }
  a->store.collect();
  b->store.collect();
  EXPECT_EQ(check(*a), 0);
}

// Changes from both services at once, on overlapping paths of two trees,
// with shared contents: no change number is handed out twice (the versions
// of each path follow each other without overlap), and every reference
// count and usage holds (the check).
TEST_F(SharedCatalog, ConcurrentChangesKeepNumbersAndCounts) {
  auto a = service();
  auto b = service();
  const TreeId other{1, "other"};
  a->store.open_tree(other);
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    Service& s = t % 2 == 0 ? *a : *b;
    threads.emplace_back([&s, t, other] {
      for (int k = 0; k < 30; ++k) {
        const TreeId& tree = k % 3 == 0 ? other : kTree;
        const std::string path = "\\d" + std::to_string(k % 4) + "\\f" + std::to_string(k % 5);
        Change change;
        change.tree = tree;
        change.path = parse_storage_path(path).parts;
        change.kind = k % 7 == 6 ? Change::kRemove : Change::kAddFile;
        change.content.bytes = "shared " + std::to_string(k % 3);
        change.content.size = static_cast<std::int64_t>(change.content.bytes.size());
        Sha256 sha;
        sha.update(reinterpret_cast<const unsigned char*>(change.content.bytes.data()),
                   change.content.bytes.size());
        change.content.sha256 = sha.hex();
        try {
          s.catalog.apply(change, filetime_now());
        } catch (const ServiceError&) {
          change.kind = Change::kUpdateFile;  // taken, or already gone
          try {
            if (k % 7 != 6) s.catalog.apply(change, filetime_now());
          } catch (const ServiceError&) {
          }
        }
        if (k % 10 == 9) s.store.end_session(tree, false);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(check(*a), 0);
  PgConnection db(test_pg_conninfo());
  const PgResult overlaps = db.run(
      "SELECT (SELECT count(*) FROM history h1 JOIN history h2 USING (user_id, project, parent,"
      "  name) WHERE h1.id < h2.id AND h1.from_seq < h2.to_seq AND h2.from_seq < h1.to_seq)"
      " + (SELECT count(*) FROM history h JOIN nodes n USING (user_id, project, parent, name)"
      "  WHERE h.to_seq > n.from_seq)");
  EXPECT_EQ(overlaps.int64(0, 0), 0);
}

// Damages to a good catalog, each made with SQL as a faulty tool or
// program could: the check reports every one.
TEST_F(SharedCatalog, TheCheckReportsEveryDamage) {
  struct Damage {
    const char* what;
    const char* sql;
    const char* reported;
  };
  const Damage damages[] = {
      {"a live content listed as doomed",
       "INSERT INTO doomed SELECT user_id, sha256 FROM contents WHERE size = 200000",
       "is doomed but still held"},
      {"a file's size changed", "UPDATE nodes SET size = 5 WHERE name = 'big'",
       "\\d\\big: its size is 5 bytes, its content's 200000"},
      {"a folder row deleted", "DELETE FROM nodes WHERE name = 'sub'",
       "\\d\\sub\\x: its folder \\d\\sub\\ has no row"},
      {"a reference count off", "UPDATE contents SET refs = refs + 1 WHERE size = 70000",
       "counts 2 references, rows hold 1"},
      {"a content row deleted", "DELETE FROM contents WHERE size = 200000",
       "\\d\\big: its content"},
      {"a past version's row changed", "UPDATE history SET to_seq = from_seq",
       "\\d\\small (past version): it ends"},
      {"the newest point moved back",
       "UPDATE points SET seq = 0 WHERE name = (SELECT MAX(name) FROM points)",
       "comes before point"},
      {"a point renamed",
       "UPDATE points SET name = 'yesterday' WHERE seq = (SELECT MIN(seq) FROM points)",
       "point yesterday: not a point's name"},
      {"a small content's bytes changed",
       "UPDATE contents SET data = 'smalL'::bytea WHERE data = 'small'::bytea",
       "damaged (5 bytes"},
      {"a usage row off", "UPDATE usage SET bytes = bytes - 1", "its usage counts"},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    reset_test_pg();
    std::int64_t now = filetime_now() - 36000000000;
    Service s(root_fd_, dir_.path(), RetentionPolicy(), [&] { return now; });
    s.put("\\d\\small", "small");
    s.put("\\d\\big", pattern_bytes(200000, 1));
    s.put("\\d\\sub\\x", pattern_bytes(70000, 2));
    ASSERT_TRUE(s.store.end_session(kTree, true));
    now += 36000000000;
    s.store.remove(kTree, parse_storage_path("\\d\\small"));
    s.put("\\d\\small", "SMALL");
    ASSERT_TRUE(s.store.end_session(kTree, true));
    std::string report;
    ASSERT_EQ(check(s, &report), 0) << report;
    PgConnection(test_pg_conninfo()).exec(d.sql);
    report.clear();
    EXPECT_GE(check(s, &report), 1) << report;
    EXPECT_NE(report.find(d.reported), std::string::npos) << report;
  }
}

// The collection lease: one holder at a time, renewed by its holder, taken
// over once it expired, and given up.
TEST_F(SharedCatalog, TheCollectionRunsOnOneServiceAtATime) {
  PgFileCatalog a(test_pg_conninfo());
  PgFileCatalog b(test_pg_conninfo());
  a.set_lease_seconds(1);
  EXPECT_TRUE(a.hold_collection());
  EXPECT_FALSE(b.hold_collection());
  EXPECT_TRUE(a.hold_collection());  // renewed
  a.end_collection();
  EXPECT_TRUE(b.hold_collection());
  EXPECT_FALSE(a.hold_collection());
  b.end_collection();
  EXPECT_TRUE(a.hold_collection());
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  EXPECT_TRUE(b.hold_collection());  // a's lease expired
  EXPECT_FALSE(a.hold_collection());
}

// A connection the server ended is made again, but only once no upload
// holds a claim: the claims were locks of the lost session.
TEST_F(SharedCatalog, ALostConnectionIsMadeAgainOnceNoClaimIsHeld) {
  PgFileCatalog catalog(test_pg_conninfo());
  catalog.open_tree(kTree, 1);
  catalog.claim(kTree.user_id, "ab");
  PgConnection(test_pg_conninfo())
      .exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
            " WHERE datname = current_database() AND pid <> pg_backend_pid()");
  EXPECT_THROW(catalog.top(kTree), ServiceError);  // the loss found
  EXPECT_THROW(catalog.top(kTree), ServiceError);  // a claim was held
  catalog.release(kTree.user_id, "ab");
  EXPECT_TRUE(catalog.top(kTree).has_value());
}

// The schema is made once and versioned; a database made by a newer
// service is refused rather than misread.
TEST_F(SharedCatalog, TheSchemaIsVersioned) {
  { PgFileCatalog first(test_pg_conninfo()); }
  { PgFileCatalog again(test_pg_conninfo()); }
  PgConnection db(test_pg_conninfo());
  EXPECT_EQ(db.run("SELECT version FROM schema_version").int64(0, 0), kPgSchemaVersion);
  db.exec("UPDATE schema_version SET version = 99");
  EXPECT_THROW(PgFileCatalog newer(test_pg_conninfo()), ServiceError);
}

}  // namespace
