// RadosContentStore against a real cluster: BREVANTO_TEST_RADOS names its
// ceph.conf (scripts/shared-store.sh up prints one), BREVANTO_TEST_RADOS_POOL
// the pool ("brevanto" by default). Each run works in a namespace of its
// own. Without a cluster only the parts that need none run.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "service/errors.h"
#include "service/store/rados_content_store.h"
#include "service/store/rados_target.h"
#include "util/sha256.h"

namespace {

struct TargetCase {
  const char* url;
  bool ok;
  const char* pool_or_error;  // the pool, or a part of the error
};

const TargetCase kTargets[] = {
    {"rados://p?conf=/c.conf", true, "p"},
    {"rados://p?conf=/c.conf&ns=a&id=svc&timeout=5", true, "p"},
    {"rados://p", false, "no conf"},
    {"rados://?conf=/c", false, "no pool"},
    {"s3://p?conf=/c", false, "not a rados"},
    {"rados://p?conf=/c&timeout=0", false, "timeout"},
    {"rados://p?conf=/c&timeout=5x", false, "timeout"},
    {"rados://p?conf=/c&color=red", false, "unknown parameter"},
    {"rados://p?conf=", false, "empty conf"},
    {"rados://p?conf", false, "without a value"},
};

TEST(RadosTarget, ParsesOrSaysWhy) {
  for (const TargetCase& c : kTargets) {
    RadosTarget target;
    std::string error;
    EXPECT_EQ(parse_rados_target(c.url, &target, &error), c.ok) << c.url;
    if (c.ok) {
      EXPECT_EQ(target.pool, c.pool_or_error) << c.url;
    } else {
      EXPECT_NE(error.find(c.pool_or_error), std::string::npos) << c.url << ": " << error;
    }
  }
  RadosTarget target;
  std::string error;
  ASSERT_TRUE(parse_rados_target("rados://p?conf=/c.conf&ns=a&id=svc&timeout=5", &target, &error));
  EXPECT_EQ(target.conf, "/c.conf");
  EXPECT_EQ(target.ns, "a");
  EXPECT_EQ(target.id, "svc");
  EXPECT_EQ(target.timeout_seconds, 5u);
}

// A monitor that never answers fails the store's start within its timeout.
TEST(RadosContentStore, AClusterThatIsNotThereFailsInBoundedTime) {
  char conf[] = "/tmp/rados-absent-XXXXXX";
  const int fd = ::mkstemp(conf);
  ASSERT_GE(fd, 0);
  const std::string text = "[global]\nmon_host = 127.0.0.1:9\nauth_client_required = none\n";
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fd);
  RadosTarget target;
  target.pool = "none";
  target.conf = conf;
  target.timeout_seconds = 2;
  const auto start = std::chrono::steady_clock::now();
  try {
    RadosContentStore store(target, AT_FDCWD);
    ADD_FAILURE() << "connected to nothing";
  } catch (const ServiceError& e) {
    EXPECT_EQ(e.code(), kInternal);
    EXPECT_NE(std::string(e.what()).find("connect"), std::string::npos) << e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  ::unlink(conf);
}

constexpr std::uint64_t kPiece = 1 << 20;  // small pieces, so that tests cross them

class RadosStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* conf = std::getenv("BREVANTO_TEST_RADOS");
    if (conf == nullptr || *conf == '\0') {
      GTEST_SKIP() << "BREVANTO_TEST_RADOS does not name a ceph.conf "
                      "(scripts/shared-store.sh up starts a cluster)";
    }
    const char* pool = std::getenv("BREVANTO_TEST_RADOS_POOL");
    target_.pool = pool != nullptr ? pool : "brevanto";
    target_.conf = conf;
    target_.ns = "test-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
    target_.timeout_seconds = 20;
    temp_dir_ = ::open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    store_ = std::make_unique<RadosContentStore>(target_, temp_dir_, kPiece);
    store_->set_sweep_min_age(std::chrono::seconds(0));
  }
  void TearDown() override {
    if (store_) {
      store_->sweep([this](std::int64_t user, const std::string& sha) { store_->remove(user, sha); });
    }
    if (temp_dir_ >= 0) ::close(temp_dir_);
  }

  static std::string random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(gen());
    return bytes;
  }
  static std::string sha_of(const std::string& bytes) {
    Sha256 hash;
    hash.update(bytes.data(), bytes.size());
    return hash.hex();
  }
  // Writes `bytes` through a writer and places them; the errno of place().
  int put(std::int64_t user, const std::string& bytes) {
    const auto writer = store_->begin(user);
    EXPECT_EQ(::write(writer->fd(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    return writer->place(sha_of(bytes));
  }
  // The content read back; "<missing errno>" when open() fails.
  std::string read_back(std::int64_t user, const std::string& sha) {
    const UniqueFd fd = store_->open(user, sha);
    if (!fd.valid()) return "<missing " + std::to_string(errno) + ">";
    std::string bytes;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd.get(), buffer, sizeof buffer)) > 0) bytes.append(buffer, n);
    return bytes;
  }
  std::set<std::string> swept() {
    std::set<std::string> names;
    store_->sweep([&](std::int64_t user, const std::string& sha) {
      names.insert("u" + std::to_string(user) + "/" + sha);
    });
    return names;
  }

  RadosTarget target_;
  int temp_dir_ = -1;
  std::unique_ptr<RadosContentStore> store_;
};

const std::string kMissing = "<missing " + std::to_string(ENOENT) + ">";

TEST_F(RadosStoreTest, PlaceOpenRemoveAcrossPieces) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{kPiece - 1},
                                 std::size_t{kPiece}, std::size_t{kPiece * 5 / 2}}) {
    const std::string bytes = random_bytes(size, static_cast<unsigned>(size));
    const std::string sha = sha_of(bytes);
    ASSERT_EQ(put(7, bytes), 0) << size;
    EXPECT_EQ(read_back(7, sha), bytes) << size;
    EXPECT_EQ(read_back(8, sha), kMissing) << "another account's content, " << size;
    EXPECT_EQ(swept(), std::set<std::string>{"u7/" + sha}) << size;
    EXPECT_EQ(store_->remove(7, sha), 0) << size;
    EXPECT_EQ(read_back(7, sha), kMissing) << size;
    EXPECT_EQ(swept(), std::set<std::string>{}) << "every piece removed, " << size;
  }
}

// Two uploads of one content (as two hosts would): the second writes the
// same bytes, and readers meanwhile always find the whole content.
TEST_F(RadosStoreTest, TwoWritesOfOneContent) {
  const std::string bytes = random_bytes(kPiece * 5 / 2, 1);
  const std::string sha = sha_of(bytes);
  const auto first = store_->begin(1);
  const auto second = store_->begin(1);
  for (const auto* writer : {first.get(), second.get()}) {
    ASSERT_EQ(::write(writer->fd(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  ASSERT_EQ(first->place(sha), 0);
  std::atomic<bool> done{false};
  int reads = 0, wrong = 0;
  std::thread reader([&] {
    while (!done) {
      ++reads;
      if (read_back(1, sha) != bytes) ++wrong;
    }
  });
  for (int i = 0; i < 3; ++i) EXPECT_EQ(second->place(sha), 0);
  done = true;
  reader.join();
  EXPECT_EQ(wrong, 0) << "of " << reads << " reads during the second write";
  EXPECT_EQ(read_back(1, sha), bytes);
  EXPECT_EQ(store_->remove(1, sha), 0);
  EXPECT_EQ(read_back(1, sha), kMissing);
}

TEST_F(RadosStoreTest, MissingContent) {
  const std::string sha(64, 'a');
  EXPECT_EQ(read_back(3, sha), kMissing);
  EXPECT_EQ(store_->remove(3, sha), 0);
  // A writer dropped without place() leaves nothing behind.
  store_->begin(3)->fd();
  EXPECT_EQ(swept(), std::set<std::string>{});
}

// What a write that stopped half-way leaves (pieces, a first piece without
// its size) is missing to open() and found by the sweep; remove() takes it
// all. Young objects are left to their writer.
TEST_F(RadosStoreTest, UnfinishedWriteIsMissingAndSwept) {
  rados_t cluster;
  ASSERT_EQ(rados_create(&cluster, target_.id.c_str()), 0);
  ASSERT_EQ(rados_conf_read_file(cluster, target_.conf.c_str()), 0);
  ASSERT_EQ(rados_connect(cluster), 0);
  rados_ioctx_t io;
  ASSERT_EQ(rados_ioctx_create(cluster, target_.pool.c_str(), &io), 0);
  rados_ioctx_set_namespace(io, target_.ns.c_str());
  const std::string sha(64, 'b');
  for (std::uint64_t piece : {1, 2, 0}) {
    ASSERT_EQ(rados_write(io, rados_object_name(4, sha, piece).c_str(), "xy", 2, 0), 0);
  }
  EXPECT_EQ(read_back(4, sha), kMissing);
  store_->set_sweep_min_age(std::chrono::seconds(3600));
  EXPECT_EQ(swept(), std::set<std::string>{});
  store_->set_sweep_min_age(std::chrono::seconds(0));
  EXPECT_EQ(swept(), std::set<std::string>{"u4/" + sha});
  EXPECT_EQ(store_->remove(4, sha), 0);
  EXPECT_EQ(swept(), std::set<std::string>{});
  rados_ioctx_destroy(io);
  rados_shutdown(cluster);
}

TEST_F(RadosStoreTest, FreeBytesFromThePool) {
  const std::int64_t free = store_->free_bytes();
  EXPECT_GT(free, 0);
  EXPECT_LT(free, INT64_MAX) << "no statistics: is a ceph-mgr running?";
}

TEST_F(RadosStoreTest, AMissingPoolIsAClearError) {
  RadosTarget target = target_;
  target.pool = "no-such-pool";
  try {
    RadosContentStore store(target, temp_dir_);
    ADD_FAILURE() << "opened a missing pool";
  } catch (const ServiceError& e) {
    EXPECT_NE(std::string(e.what()).find("no-such-pool"), std::string::npos) << e.what();
  }
}

}  // namespace
