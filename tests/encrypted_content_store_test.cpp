// Contents encrypted at rest: EncryptedContentStore over a folder store, and
// the service with --content-key, across a restart.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "protocol/service_connection.h"
#include "service/errors.h"
#include "service/store/encrypted_content_store.h"
#include "service/store/folder_content_store.h"
#include "tests/service_test_env.h"
#include "util/sha256.h"

namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kHead = 8 + 24;     // magic, stream header
constexpr std::size_t kChunkTag = 17;     // per chunk

std::string sha256_of(const std::string& bytes) {
  Sha256 sha;
  sha.update(bytes.data(), bytes.size());
  return sha.hex();
}

class EncryptedStore : public ::testing::Test {
 protected:
  EncryptedStore()
      : store_fd_(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
        folder(store_fd_.get(), "content", dir.path()),
        store(folder, key_file(), store_fd_.get()) {}

  std::string key_file() const { return dir.path() + "/content.key"; }
  std::string object(std::int64_t user, const std::string& sha) const {
    return dir.path() + "/content/u" + std::to_string(user) + "/" + sha.substr(0, 2) + "/" + sha;
  }

  std::string put(ContentStore& contents, std::int64_t user, const std::string& bytes) {
    const std::unique_ptr<ContentWriter> writer = contents.begin(user);
    EXPECT_EQ(::write(writer->fd(), bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
    const std::string sha = sha256_of(bytes);
    EXPECT_EQ(writer->place(sha), 0);
    return sha;
  }
  // The decrypted content; `*err` the errno when it cannot be opened.
  static std::string get(ContentStore& contents, std::int64_t user, const std::string& sha,
                         int* err) {
    *err = 0;
    const UniqueFd fd = contents.open(user, sha);
    if (!fd.valid()) {
      *err = errno;
      return "";
    }
    std::string out;
    char buffer[8192];
    for (ssize_t n; (n = ::read(fd.get(), buffer, sizeof(buffer))) > 0;) out.append(buffer, n);
    return out;
  }
  std::size_t objects_of(std::int64_t user) {
    std::size_t n = 0;
    store.sweep([&](std::int64_t id, const std::string&) { n += id == user; });
    return n;
  }

  TempDir dir;
  UniqueFd store_fd_;
  FolderContentStore folder;
  EncryptedContentStore store;
};

TEST_F(EncryptedStore, RoundTripsEverySizeWithNoPlaintextStored) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{1}, kChunk - 1, kChunk, kChunk + 1,
                                 3 * kChunk + 5}) {
    SCOPED_TRACE(size);
    const std::string content = pattern_bytes(size, static_cast<unsigned>(size));
    const std::string sha = put(store, 1, content);
    int err = 0;
    EXPECT_EQ(get(store, 1, sha, &err), content);
    EXPECT_EQ(err, 0);
    const std::string stored = read_file(object(1, sha));
    const std::size_t chunks = size == 0 ? 1 : (size + kChunk - 1) / kChunk;
    EXPECT_EQ(stored.size(), kHead + chunks * kChunkTag + size);
    if (size >= 64) {
      EXPECT_EQ(stored.find(content.substr(size / 2, 16)), std::string::npos);
    }
  }
  struct stat st;
  ASSERT_EQ(::stat(key_file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Another store object with the same key (a restart) reads it all.
  EncryptedContentStore again(folder, key_file(), -1);
  const std::string content = pattern_bytes(kChunk + 1, 7);
  int err = 0;
  EXPECT_EQ(get(again, 1, put(store, 1, content), &err), content);
}

TEST_F(EncryptedStore, ADamagedOrCutObjectIsRefused) {
  const std::string content = pattern_bytes(2 * kChunk + 100, 3);
  const std::string sha = put(store, 1, content);
  const std::string path = object(1, sha);
  const std::string good = read_file(path);
  const std::size_t last_chunk = kHead + 2 * (kChunk + kChunkTag);
  const struct {
    const char* name;
    std::function<void(std::string&)> damage;
  } kDamages[] = {
      {"magic", [](std::string& s) { s[0] ^= 1; }},
      {"stream header", [](std::string& s) { s[20] ^= 0x80; }},
      {"first chunk's tag", [](std::string& s) { s[kHead] ^= 1; }},
      {"a byte in the middle", [](std::string& s) { s[s.size() / 2] ^= 1; }},
      {"the last byte", [](std::string& s) { s.back() ^= 1; }},
      {"the final chunk cut off", [&](std::string& s) { s.resize(last_chunk); }},
      {"a byte added", [](std::string& s) { s.push_back('x'); }},
      {"the chunks swapped",
       [](std::string& s) {
         std::swap_ranges(s.begin() + kHead, s.begin() + kHead + kChunk + kChunkTag,
                          s.begin() + kHead + kChunk + kChunkTag);
       }},
  };
  for (const auto& d : kDamages) {
    SCOPED_TRACE(d.name);
    std::string bad = good;
    d.damage(bad);
    ASSERT_TRUE(write_file(path, bad));
    int err = 0;
    EXPECT_EQ(get(store, 1, sha, &err), "");
    EXPECT_EQ(err, EBADMSG);
  }
  ASSERT_TRUE(write_file(path, good));
  int err = 0;
  EXPECT_EQ(get(store, 1, sha, &err), content);
}

TEST_F(EncryptedStore, AnotherAccountOrServiceKeyCannotReadIt) {
  const std::string content = pattern_bytes(kChunk + 9, 5);
  const std::string sha = put(store, 1, content);
  put(store, 2, "bob's");
  int err = 0;
  // Account 1's object under account 2's name: account 2's key.
  ::mkdir((dir.path() + "/content/u2/" + sha.substr(0, 2)).c_str(), 0700);
  ASSERT_TRUE(write_file(object(2, sha), read_file(object(1, sha))));
  EXPECT_EQ(get(store, 2, sha, &err), "");
  EXPECT_EQ(err, EBADMSG);
  // Account 2's wrapped key put in place of account 1's.
  const std::string keys = key_file() + ".accounts/";
  const std::string own_key = read_file(keys + "u1.key");
  ASSERT_TRUE(write_file(keys + "u1.key", read_file(keys + "u2.key")));
  EncryptedContentStore swapped(folder, key_file(), -1);
  EXPECT_EQ(get(swapped, 1, sha, &err), "");
  EXPECT_EQ(err, EBADMSG);
  // Account 1's own wrapped key, under another service key.
  const std::string other = dir.path() + "/other.key";
  EncryptedContentStore(folder, other, -1);  // makes the key and its folder
  ASSERT_TRUE(write_file(other + ".accounts/u1.key", own_key));
  EncryptedContentStore foreign(folder, other, -1);
  EXPECT_EQ(get(foreign, 1, sha, &err), "");
  EXPECT_EQ(err, EBADMSG);
}

TEST_F(EncryptedStore, TheSameContentTwiceIsOneObjectPerAccount) {
  const std::string content = pattern_bytes(3 * kChunk, 11);
  const std::string sha = put(store, 1, content);
  EXPECT_EQ(put(store, 1, content), sha);
  EXPECT_EQ(put(store, 2, content), sha);
  EXPECT_EQ(objects_of(1), 1u);
  EXPECT_EQ(objects_of(2), 1u);
  // Each account's under its own key.
  EXPECT_NE(read_file(object(1, sha)), read_file(object(2, sha)));
  int err = 0;
  EXPECT_EQ(get(store, 2, sha, &err), content);
}

TEST_F(EncryptedStore, AKeyFileOthersMayReadIsRefused) {
  ASSERT_EQ(::chmod(key_file().c_str(), 0640), 0);
  EXPECT_THROW(EncryptedContentStore(folder, key_file(), -1), ServiceError);
  ASSERT_TRUE(write_file(dir.path() + "/short.key", "not 32 bytes"));
  ASSERT_EQ(::chmod((dir.path() + "/short.key").c_str(), 0600), 0);
  EXPECT_THROW(EncryptedContentStore(folder, dir.path() + "/short.key", -1), ServiceError);
}

// The service with --content-key: what it stores is encrypted, one object
// per content of the account, and it serves the contents again after a
// restart with the key; without the key it does not start.
TEST(ServiceContentKey, ServesEncryptedContentsAcrossARestart) {
  TempDir keys;
  const std::string key = keys.path() + "/content.key";
  ServiceEnv env(0, {"--content-key", key});
  ASSERT_TRUE(env.started) << env.service.log();
  const std::string content = pattern_bytes(200 * 1024 + 3, 21);
  ASSERT_TRUE(write_file(env.local + "/big.bin", content));
  {
    CServiceConnection conn;
    conn.port = env.service.port();
    ASSERT_EQ(conn.login(L"alice", L"s3cret", L"", L"1"), 0);
    const std::wstring local = widen(env.local + "/big.bin");
    ASSERT_EQ(conn.addfile(local.c_str(), L"\\a.bin", nullptr, nullptr), 0);
    ASSERT_EQ(conn.addfile(local.c_str(), L"\\b.bin", nullptr, nullptr), 0);
  }
  EXPECT_EQ(env.stored_content("\\a.bin"), content);
  std::vector<std::string> objects;
  for (const std::string& entry : tree_listing(env.root + "/store/content")) {
    if (entry.size() > 64 && entry.rfind("tmp", 0) != 0) objects.push_back(entry);
  }
  ASSERT_EQ(objects.size(), 1u);
  const std::string stored = read_file(env.root + "/store/content/" + objects[0]);
  EXPECT_EQ(stored.find(content.substr(1000, 16)), std::string::npos);

  ASSERT_NE(env.service.stop(SIGTERM), -1);
  // check reads the contents through their key.
  const auto check = [&](const std::string& option) {
    return std::system((std::string(BREVANTO_SERVICE_PATH) + " --root " + env.root + option +
                        " check >/dev/null 2>&1").c_str());
  };
  EXPECT_EQ(check(" --content-key " + key), 0);
  EXPECT_NE(check(""), 0);
  ServiceProcess without(env.root, {env.local}, env.dir.path() + "/without.log");
  EXPECT_FALSE(without.start());
  EXPECT_NE(without.log().find("give --content-key"), std::string::npos) << without.log();

  ASSERT_TRUE(env.service.start()) << env.service.log();
  EXPECT_EQ(env.stored_content("\\b.bin"), content);
}

}  // namespace
