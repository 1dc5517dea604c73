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
    // A client of its own, to see and make objects behind the store's back.
    ASSERT_EQ(rados_create(&cluster_, target_.id.c_str()), 0);
    ASSERT_EQ(rados_conf_read_file(cluster_, target_.conf.c_str()), 0);
    ASSERT_EQ(rados_connect(cluster_), 0);
    ASSERT_EQ(rados_ioctx_create(cluster_, target_.pool.c_str(), &io_), 0);
    rados_ioctx_set_namespace(io_, target_.ns.c_str());
  }
  void TearDown() override {
    if (io_ != nullptr) {
      for (const std::string& name : objects()) rados_remove(io_, name.c_str());
      rados_ioctx_destroy(io_);
    }
    if (cluster_ != nullptr) rados_shutdown(cluster_);
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
  // Writes `bytes` through a writer and places them as `sha` (by default
  // their own); the errno of place().
  int put(std::int64_t user, const std::string& bytes, std::string sha = "") {
    const auto writer = store_->begin(user);
    EXPECT_EQ(::write(writer->fd(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    return writer->place(sha.empty() ? sha_of(bytes) : sha);
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
  // Every object of the test's namespace.
  std::set<std::string> objects() {
    std::set<std::string> names;
    rados_list_ctx_t list;
    if (rados_nobjects_list_open(io_, &list) < 0) return names;
    const char* entry;
    while (rados_nobjects_list_next(list, &entry, nullptr, nullptr) == 0) names.insert(entry);
    rados_nobjects_list_close(list);
    return names;
  }

  RadosTarget target_;
  int temp_dir_ = -1;
  std::unique_ptr<RadosContentStore> store_;
  rados_t cluster_ = nullptr;
  rados_ioctx_t io_ = nullptr;
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
    EXPECT_EQ(objects().size(), 1 + (size + kPiece - 1) / kPiece) << "a head and its pieces";
    EXPECT_EQ(store_->remove(7, sha), 0) << size;
    EXPECT_EQ(read_back(7, sha), kMissing) << size;
    EXPECT_EQ(objects(), std::set<std::string>{}) << "every piece removed, " << size;
  }
}

// Two writers of one name with different bytes (an encrypting store over
// this one seals each write differently), at the same time, while a reader
// reads: every read finds one of them whole or nothing, the first one in
// stays, and the other's pieces go.
TEST_F(RadosStoreTest, TwoWritersOfOneContent) {
  for (unsigned round = 0; round < 4; ++round) {
    const std::string sha = sha_of(std::to_string(round));
    const std::string a = random_bytes(kPiece * 5 / 2, 2 * round);
    const std::string b = random_bytes(kPiece * 5 / 2, 2 * round + 1);
    std::atomic<bool> done{false};
    int reads = 0, wrong = 0;
    std::thread reader([&] {
      while (!done) {
        ++reads;
        const std::string seen = read_back(1, sha);
        if (seen != a && seen != b && seen != kMissing) ++wrong;
      }
    });
    std::thread other([&] { EXPECT_EQ(put(1, b, sha), 0); });
    EXPECT_EQ(put(1, a, sha), 0);
    other.join();
    done = true;
    reader.join();
    EXPECT_EQ(wrong, 0) << "of " << reads << " reads, round " << round;
    const std::string stored = read_back(1, sha);
    EXPECT_TRUE(stored == a || stored == b) << "round " << round;
    EXPECT_EQ(objects().size(), 4u) << "the head and the winner's three pieces, round " << round;
    EXPECT_EQ(put(1, random_bytes(kPiece, 99), sha), 0) << "a stored content is not written over";
    EXPECT_EQ(read_back(1, sha), stored) << "round " << round;
    EXPECT_EQ(store_->remove(1, sha), 0);
    EXPECT_EQ(objects(), std::set<std::string>{}) << "round " << round;
  }
}

TEST_F(RadosStoreTest, MissingContent) {
  const std::string sha(64, 'a');
  EXPECT_EQ(read_back(3, sha), kMissing);
  EXPECT_EQ(store_->remove(3, sha), 0);
  // A writer dropped without place() leaves nothing behind.
  store_->begin(3)->fd();
  EXPECT_EQ(objects(), std::set<std::string>{});
}

// Pieces no head names (a write that stopped half-way, or one that lost)
// are missing to open() and dropped by the sweep once old enough; the
// content beside them stays.
TEST_F(RadosStoreTest, UnfinishedWritesAreSweptAway) {
  const std::string unfinished(64, 'b');
  for (std::uint64_t piece : {0, 1}) {
    const std::string name = rados_piece_name(4, unfinished, "0123456789abcdef", piece);
    ASSERT_EQ(rados_write(io_, name.c_str(), "xy", 2, 0), 0);
  }
  const std::string bytes = random_bytes(kPiece + 1, 5);
  const std::string sha = sha_of(bytes);
  ASSERT_EQ(put(4, bytes), 0);
  const std::string lost = rados_piece_name(4, sha, "fedcba9876543210", 0);
  ASSERT_EQ(rados_write(io_, lost.c_str(), "xy", 2, 0), 0);
  EXPECT_EQ(read_back(4, unfinished), kMissing);
  const std::size_t all = objects().size();
  store_->set_sweep_min_age(std::chrono::seconds(3600));
  EXPECT_EQ(swept(), std::set<std::string>{});
  EXPECT_EQ(objects().size(), all) << "young objects are left to their writers";
  store_->set_sweep_min_age(std::chrono::seconds(0));
  EXPECT_EQ(swept(), std::set<std::string>{"u4/" + sha});
  EXPECT_EQ(objects().size(), 3u) << "the content's head and two pieces only";
  EXPECT_EQ(read_back(4, sha), bytes);
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
