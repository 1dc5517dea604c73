// The brevanto program's helpers: text conversion, storage paths, the
// manifest, file hashes, the local walk and the verification.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "cli/file_hash.h"
#include "cli/local_tree.h"
#include "cli/manifest.h"
#include "cli/storage_path.h"
#include "cli/testing/cli_runner.h"
#include "cli/text.h"
#include "cli/units.h"
#include "cli/verify.h"

namespace {

TEST(CliText, RoundTripsEveryPlane) {
  const std::string utf8 = "a\xC3\xA4\xE6\x97\xA5\xF0\x9F\x98\x80";  // a ä 日 😀
  const std::wstring wide = widen(utf8);
  EXPECT_EQ(wide, (std::wstring{L'a', 0xE4, 0x65E5, 0x1F600}));
  EXPECT_EQ(narrow(wide), utf8);
}

TEST(CliText, RejectsMalformedUtf8) {
  for (const char* bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF", "a\x80"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
    EXPECT_THROW(widen(bad), TextError);
  }
  EXPECT_THROW(narrow(std::wstring(1, static_cast<wchar_t>(0xD800))), TextError);
}

TEST(CliStoragePath, NormalisesTypedPaths) {
  EXPECT_EQ(to_storage_path(""), "\\");
  EXPECT_EQ(to_storage_path("/"), "\\");
  EXPECT_EQ(to_storage_path("docs/a.txt"), "\\docs\\a.txt");
  EXPECT_EQ(to_storage_path("\\\\docs//sub\\"), "\\docs\\sub");
  EXPECT_TRUE(names_directory("/docs/"));
  EXPECT_FALSE(names_directory("/docs"));
  EXPECT_EQ(storage_join("\\", "a/b"), "\\a\\b");
  EXPECT_EQ(storage_join("\\bk", "a/b"), "\\bk\\a\\b");
  EXPECT_EQ(storage_basename("\\bk\\a.txt"), "a.txt");
}

TEST(CliStoragePath, RelativePaths) {
  EXPECT_EQ(storage_relative("\\bk\\a\\b.txt", "\\bk"), "a/b.txt");
  EXPECT_EQ(storage_relative("\\bk\\a\\", "\\bk"), "a");
  EXPECT_EQ(storage_relative("\\bk", "\\bk"), "");
  EXPECT_EQ(storage_relative("\\a.txt", "\\"), "a.txt");
  EXPECT_EQ(storage_relative("\\bkx\\a", "\\bk"), std::nullopt);
}

TEST(CliManifest, FormatsAndParsesPathsWithSpaces) {
  const std::string hex(64, 'a');
  const std::vector<ManifestEntry> entries = {{hex, 12, "a b/ç d.txt"}, {hex, 0, "e"}};
  const std::string text = format_manifest(entries);
  EXPECT_EQ(text, hex + " 12 a b/ç d.txt\n" + hex + " 0 e\n");
  std::vector<ManifestEntry> parsed;
  std::string error;
  ASSERT_TRUE(parse_manifest(text, parsed, error)) << error;
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed[0].path, "a b/ç d.txt");
  EXPECT_EQ(parsed[0].size, 12u);
  EXPECT_EQ(parsed[1].sha256_hex, hex);
}

TEST(CliManifest, RejectsMalformedLines) {
  std::vector<ManifestEntry> parsed;
  std::string error;
  EXPECT_FALSE(parse_manifest(std::string(64, 'a') + " 12 ok\nxyz 1 b\n", parsed, error));
  EXPECT_EQ(error, "line 2 is malformed");
  EXPECT_FALSE(parse_manifest(std::string(64, 'a') + " 1x b\n", parsed, error));
  EXPECT_FALSE(parse_manifest(std::string(64, 'a') + " 1 \n", parsed, error));
}

TEST(CliFileHash, Sha256OfAKnownText) {
  const TempDir temp;
  const std::string& dir = temp.path();
  write_file(dir + "/abc", "abc");
  FileHash hash;
  std::string error;
  ASSERT_TRUE(hash_file(dir + "/abc", hash, error)) << error;
  EXPECT_EQ(hash.sha256_hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hash.size, 3u);
  EXPECT_FALSE(hash_file(dir + "/missing", hash, error));
}

TEST(CliLocalTree, WalksSortedDirectoriesFirstAndSkipsWhatTheStorageCannotHold) {
  const TempDir temp;
  const std::string& dir = temp.path();
  write_file(dir + "/b/z.txt", "zz");
  write_file(dir + "/b/ä.txt", "a");
  write_file(dir + "/a.txt", "1234");
  write_file(dir + "/back\\slash", "x");
  write_file(dir + "/.brevanto-manifest.abc123", "left over");
  std::filesystem::create_directories(dir + "/empty");
  const LocalTree tree = walk_local_tree(dir, ".brevanto-manifest");
  std::vector<std::string> seen;
  for (const LocalEntry& entry : tree.entries) {
    seen.push_back((entry.is_dir ? "d " : "f ") + entry.relative);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"f a.txt", "d b", "f b/z.txt", "f b/ä.txt", "d empty"}));
  EXPECT_EQ(tree.files, 3u);
  EXPECT_EQ(tree.bytes, 7u);
  ASSERT_EQ(tree.problems.size(), 1u);
  EXPECT_EQ(tree.problems[0].rfind("back\\slash: ", 0), 0u);
}

TEST(CliVerify, ReportsMissingChangedAndUnlistedFiles) {
  const TempDir temp;
  const std::string& dir = temp.path();
  write_file(dir + "/same", "abc");
  write_file(dir + "/changed", "abd");
  write_file(dir + "/extra", "x");
  const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  const std::vector<ManifestEntry> manifest = {
      {abc, 3, "same"}, {abc, 3, "changed"}, {abc, 3, "gone"}};
  const auto problems = verify_tree(dir, manifest, {"same", "changed", "extra"});
  ASSERT_EQ(problems.size(), 3u);
  EXPECT_EQ(problems[0], "changed: SHA-256 differs from the manifest");
  EXPECT_EQ(problems[1].rfind("gone: missing", 0), 0u);
  EXPECT_EQ(problems[2], "extra: not in the manifest");
}

TEST(CliUnits, SizesDurationsAndTimes) {
  EXPECT_EQ(human_bytes(512), "512 B");
  EXPECT_EQ(human_bytes(1536), "1.5 KiB");
  EXPECT_EQ(human_bytes(50ull << 20), "50.0 MiB");
  EXPECT_EQ(human_duration(7), "0:07");
  EXPECT_EQ(human_duration(3723), "1:02:03");
  FILETIME time{};
  EXPECT_EQ(filetime_text(time), "-");
  const std::uint64_t ticks = 116444736000000000ull;  // 1970-01-01
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  EXPECT_EQ(filetime_text(time), "1970-01-01 00:00:00 UTC");
}

}  // namespace
