// Account keys shared through the PostgreSQL catalog: services on two
// hosts (two key folders, one copy of the service's key each) making the
// key of one account at once end with one key both use. Runs only when
// BREVANTO_TEST_PG names a database (scripts/test-pg.sh).
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "service/store/content_keys.h"
#include "service/store/pg_connection.h"
#include "service/store/pg_key_shelf.h"
#include "tests/service_test_files.h"
#include "tests/store_test_catalogs.h"

namespace {

class SharedAccountKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = pg_test_skip_reason();
    if (!why.empty()) GTEST_SKIP() << why;
    reset_test_pg();
    // The service's key, made by the first host and copied to the second.
    { ContentKeys make(host_key(1), false); }
    std::filesystem::copy_file(host_key(1), host_key(2));
    ::chmod(host_key(2).c_str(), 0600);
  }
  std::string host_key(int host) const {
    return dir_.path() + "/host" + std::to_string(host) + ".key";
  }
  std::unique_ptr<ContentKeys> keys(int host, bool shared = true) const {
    return std::make_unique<ContentKeys>(
        host_key(host), false,
        shared ? std::make_unique<PgKeyShelf>(test_pg_conninfo()) : nullptr);
  }

  TempDir dir_;
};

TEST_F(SharedAccountKeys, TwoHostsMakingOneAccountsKeyAtOnceShareOne) {
  std::vector<std::unique_ptr<ContentKeys>> hosts;
  for (int round = 0; round < 4; ++round) hosts.push_back(keys(1 + round % 2));
  for (std::int64_t account = 1; account <= 20; ++account) {
    std::vector<ContentKeys::Key> got(hosts.size());
    std::vector<int> ok(hosts.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < hosts.size(); ++i) {
      threads.emplace_back([&, i] { ok[i] = hosts[i]->account_key(account, true, &got[i]); });
    }
    for (std::thread& t : threads) t.join();
    for (std::size_t i = 0; i < hosts.size(); ++i) {
      ASSERT_TRUE(ok[i]) << "account " << account << " host " << i;
      EXPECT_EQ(got[i], got[0]) << "account " << account << " host " << i;
    }
  }
  PgConnection db(test_pg_conninfo());
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM account_keys").int64(0, 0), 20);
  // A service started later reads the same key, and makes none for a
  // download of an account without one.
  ContentKeys::Key first, later;
  ASSERT_TRUE(hosts[0]->account_key(7, false, &first));
  const std::unique_ptr<ContentKeys> started_later = keys(2);
  ASSERT_TRUE(started_later->account_key(7, false, &later));
  EXPECT_EQ(first, later);
  EXPECT_FALSE(started_later->account_key(99, false, &later));
  EXPECT_EQ(errno, ENOENT);
}

// A host that kept its account keys beside its key file before it shared
// the catalog puts them on the shelf at their first use, so the contents
// it encrypted stay readable, through it and the other host.
TEST_F(SharedAccountKeys, AKeyKeptLocallyBeforeIsTheSharedOne) {
  ContentKeys::Key local, shared, other;
  ASSERT_TRUE(keys(1, false)->account_key(3, true, &local));
  ASSERT_TRUE(keys(1)->account_key(3, true, &shared));
  ASSERT_TRUE(keys(2)->account_key(3, true, &other));
  EXPECT_EQ(local, shared);
  EXPECT_EQ(local, other);
}

// A service with another service key cannot open the shared keys: it
// fails rather than make or use a key of its own.
TEST_F(SharedAccountKeys, AnotherServiceKeyIsRefused) {
  ContentKeys::Key key;
  ASSERT_TRUE(keys(1)->account_key(4, true, &key));
  ContentKeys stranger(dir_.path() + "/stranger.key", false,
                       std::make_unique<PgKeyShelf>(test_pg_conninfo()));
  EXPECT_FALSE(stranger.account_key(4, true, &key));
  EXPECT_EQ(errno, EBADMSG);
}

// The database gone: the request fails (EIO), and works again once it is
// back, on a new connection.
TEST_F(SharedAccountKeys, AnUnreachableCatalogFailsTheRequest) {
  ContentKeys keys_of_host(host_key(1), false,
                           std::make_unique<PgKeyShelf>(test_pg_conninfo()));
  {
    PgConnection admin(test_pg_conninfo());
    admin.exec(
        "SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
        "WHERE pid <> pg_backend_pid() AND datname = current_database()");
  }
  ContentKeys::Key key;
  // The first call meets the closed connection; the next makes a new one.
  if (!keys_of_host.account_key(5, true, &key)) {
    EXPECT_EQ(errno, EIO);
    EXPECT_TRUE(keys_of_host.account_key(5, true, &key));
  }
}

}  // namespace
