// The brevanto program's helpers: text conversion and width, command
// suggestions, storage paths, the manifest, file hashes, the local walk and
// the verification.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "cli/command_suggestion.h"
#include "cli/local/file_hash.h"
#include "cli/local/local_tree.h"
#include "cli/manifest/manifest.h"
#include "cli/manifest/verify.h"
#include "cli/output/text_width.h"
#include "cli/output/units.h"
#include "cli/remote/storage_path.h"
#include "cli/text.h"
#include "tests/cli_support/cli_runner.h"

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
    EXPECT_THROW(widen(bad), text_error);
  }
  // Wide text from the library is printed whatever it holds.
  EXPECT_EQ(narrow(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
}

TEST(CliTextWidth, CountsScreenColumns) {
  EXPECT_EQ(display_width("abc"), 3);
  EXPECT_EQ(display_width("\xE6\x97\xA5\xE6\x9C\xAC"), 4);    // 日本
  EXPECT_EQ(display_width("\xF0\x9F\x98\x80"), 2);            // 😀
  EXPECT_EQ(display_width("e\xCC\x81"), 1);                   // e + combining acute
  EXPECT_EQ(fit_columns("a\xE6\x97\xA5\xE6\x9C\xAC", 4), "a\xE6\x97\xA5");  // 日 fits, 本 not
  EXPECT_EQ(fit_columns("abc", 5), "abc");
}

TEST(CliCommandSuggestion, FindsTheWordAndItsNeighbours) {
  const std::vector<std::string> values = {"--user"};
  const std::vector<std::string> flags = {"-q"};
  EXPECT_EQ(first_command_word({"--user", "ann", "-q", "lss", "x"}, values, flags), "lss");
  EXPECT_EQ(first_command_word({"--user=ann", "lss"}, values, flags), "lss");
  EXPECT_EQ(first_command_word({"--user", "ann"}, values, flags), "");
  // An option of a subcommand before it: the parser explains that better.
  EXPECT_EQ(first_command_word({"--transfers", "1", "restore"}, values, flags), "");
  const std::vector<std::string> commands = {"ls", "stat", "restore", "rm", "rmdir"};
  EXPECT_EQ(unknown_command_message("lss", commands),
            "unknown command \"lss\"\n\nDid you mean this?\n\tls");
  EXPECT_EQ(unknown_command_message("rest", commands),
            "unknown command \"rest\"\n\nDid you mean this?\n\trestore");
  EXPECT_EQ(unknown_command_message("frobnicate", commands), "unknown command \"frobnicate\"");
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

TEST(CliManifest, FormatsAndParsesTheSnapshot) {
  const std::string hex(64, 'a');
  Manifest manifest;
  manifest.incomplete = true;
  manifest.dirs = {{".", 0755, 1}, {"a b", 0700, -5}};
  const Digest digest = Digest::from_hex(hex);
  manifest.files = {{digest, 12, "a b/ç d.txt", 1700000000123456789, 0600},
                    {digest, 0, "e", 7, 04755}};
  const std::string text = format_manifest(manifest);
  EXPECT_EQ(text,
            "# brevanto manifest 2\n# incomplete\n# dir 0755 1 .\n# dir 0700 -5 a b\n"
            "# file 12 1700000000123456789 0600\n" + hex + "  a b/ç d.txt\n"
            "# file 0 7 4755\n" + hex + "  e\n");
  Manifest parsed;
  std::string error;
  ASSERT_TRUE(parse_manifest(text, parsed, error)) << error;
  EXPECT_TRUE(parsed.incomplete);
  ASSERT_EQ(parsed.dirs.size(), 2u);
  EXPECT_EQ(parsed.dirs[1].path, "a b");
  EXPECT_EQ(parsed.dirs[1].mtime_ns, -5);
  ASSERT_EQ(parsed.files.size(), 2u);
  EXPECT_EQ(parsed.files[0].path, "a b/ç d.txt");
  EXPECT_EQ(parsed.files[0].size, 12u);
  EXPECT_EQ(parsed.files[0].mtime_ns, 1700000000123456789);
  EXPECT_EQ(parsed.files[0].mode, 0600);
  EXPECT_EQ(parsed.files[1].mode, 04755);
}

// A manifest file is read in blocks: lines cut by a block's end, a line
// longer than a block and a damaged line read as from the whole text.
TEST(CliManifest, ReadsAFileInBlocksAsTheWholeText) {
  Manifest manifest;
  for (int i = 0; i < 30000; ++i) {
    const Digest digest = Digest::from_hex(std::string(64, "0123456789abcdef"[i % 16]));
    manifest.files.push_back(ManifestEntry{digest, static_cast<std::uint64_t>(i),
                                           "d/f" + std::to_string(i), i, 0644});
    if (i == 20000) manifest.files.back().path = std::string(3 << 20, 'x');
  }
  const std::string text = format_manifest(manifest) + "# file x 1 0644\n" +
                            std::string(64, 'a') + "  last, with no end of line";
  const TempDir temp;
  const std::string path = temp.path() + "/manifest";
  write_file(path, text);
  Manifest whole, blocks;
  std::string error;
  parse_manifest(text, whole, error);
  ASSERT_TRUE(read_manifest_file(path, blocks, error)) << error;
  EXPECT_EQ(format_manifest(blocks), format_manifest(whole));
  EXPECT_EQ(blocks.damaged, whole.damaged);
  ASSERT_EQ(blocks.files.size(), 30001u);
  EXPECT_EQ(blocks.files.back().path, "last, with no end of line");
}

TEST(CliManifest, ReadsManifestsOfOlderBackups) {
  const std::string hex(64, 'B');
  Manifest parsed;
  std::string error;
  ASSERT_TRUE(parse_manifest(hex + " 12 a b.txt\n", parsed, error)) << error;
  ASSERT_EQ(parsed.files.size(), 1u);
  EXPECT_EQ(parsed.files[0].path, "a b.txt");
  EXPECT_EQ(parsed.files[0].size, 12u);
  EXPECT_EQ(parsed.files[0].sha256.hex(), std::string(64, 'b'));
  EXPECT_EQ(parsed.files[0].mtime_ns, kUnknownTime);
  EXPECT_EQ(parsed.files[0].mode, kUnknownMode);
}

TEST(CliManifest, RejectsMalformedLines) {
  const std::string hex(64, 'a');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {hex + " 12 ok\nxyz 1 b\n", "line 2 is malformed"},
      {hex + " 1x b\n", "line 1 is malformed"},
      {hex + " 1 \n", "line 1 is malformed"},
      {hex + "  no metadata before it\n", "line 1 is malformed"},
  };
  for (const auto& [text, expected] : cases) {
    Manifest parsed;
    std::string error;
    EXPECT_FALSE(parse_manifest(text, parsed, error)) << text;
    EXPECT_EQ(error, expected) << text;
  }
}

TEST(CliFileHash, Sha256OfAKnownText) {
  const TempDir temp;
  const std::string& dir = temp.path();
  write_file(dir + "/abc", "abc");
  FileHash hash;
  std::string error;
  ASSERT_TRUE(hash_file(dir + "/abc", hash, error)) << error;
  EXPECT_EQ(hash.sha256.hex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hash.size, 3u);
  EXPECT_FALSE(hash_file(dir + "/missing", hash, error));
}

TEST(CliLocalTree, WalksSortedDirectoriesFirstKeepsLinksAndEveryName) {
  const TempDir temp;
  const std::string& dir = temp.path();
  write_file(dir + "/b/z.txt", "zz");
  write_file(dir + "/b/ä.txt", "a");
  write_file(dir + "/a.txt", "1234");
  write_file(dir + "/back\\slash", "x");
  write_file(dir + "/.brevanto-manifest.abc123", "left over");
  std::filesystem::create_directories(dir + "/empty");
  for (const auto& [name, mode] : std::vector<std::pair<std::string, mode_t>>{
           {"a.txt", 0600}, {"empty", 0700}, {"b", 0755}, {"b/z.txt", 0644}, {"b/ä.txt", 0644},
           {"back\\slash", 0644}}) {
    chmod((dir + "/" + name).c_str(), mode);
  }
  symlink("a.txt", (dir + "/link").c_str());
  symlink("nowhere", (dir + "/dangling").c_str());
  symlink("b", (dir + "/dirlink").c_str());
  mkfifo((dir + "/fifo").c_str(), 0644);
  for (const bool copy_links : {false, true}) {
    const LocalTree tree =
        walk_local_tree(dir, WalkOptions{".brevanto-manifest", copy_links, nullptr, false, 0, {}});
    std::vector<std::string> seen;
    for (const LocalEntry& entry : tree.entries) {
      char mode[8];
      std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(entry.mode));
      seen.push_back(entry.is_link ? "l " + entry.relative + " -> " + entry.link_target()
                                   : (entry.is_dir ? "d " : "f ") + entry.relative + " " + mode);
    }
    const std::vector<std::string> expected = {
        "f a.txt 0600",     "d b 0755",          "f b/z.txt 0644", "f b/ä.txt 0644",
        "f back\\slash 0644", "l dangling -> nowhere", "l dirlink -> b", "d empty 0700",
        copy_links ? "f link 0600" : "l link -> a.txt"};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(tree.files, copy_links ? 5u : 4u);
    EXPECT_EQ(tree.skipped, std::vector<std::string>{"fifo: FIFO"});
    EXPECT_TRUE(tree.problems.empty());
  }
}

TEST(CliVerify, ReportsMissingChangedAndMatchingFiles) {
  const TempDir temp;
  const std::string& dir = temp.path();
  write_file(dir + "/same", "abc");
  write_file(dir + "/changed", "abd");
  const Digest abc =
      Digest::from_hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(verify_file(dir + "/same", {abc, 3, "same"}), "");
  EXPECT_EQ(verify_file(dir + "/changed", {abc, 3, "changed"}),
            "changed: SHA-256 differs from the manifest");
  EXPECT_EQ(verify_file(dir + "/same", {abc, 4, "same"}), "same: size 3, manifest says 4");
  EXPECT_EQ(verify_file(dir + "/gone", {abc, 3, "gone"}).rfind("gone: missing", 0), 0u);
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
  EXPECT_EQ(filetime_iso8601(time, false), "1970-01-01T00:00:00Z");
  EXPECT_EQ(filetime_iso8601(FILETIME{}, true), "");
}

}  // namespace
