// A manifest of a large backup is never held whole: read file by file, it
// gives the files a whole read gives; written block by block, the text a
// whole format gives. Its entries keep the fields few files have (a hard
// link, a damaged line) each their own.
#include <gtest/gtest.h>
#include <dirent.h>

#include <string>
#include <vector>

#include "cli/local/local_file.h"
#include "cli/manifest/manifest.h"
#include "tests/cli_support/cli_runner.h"

namespace {

// A manifest of some 3 MB: hard links in the middle and on the last file, a
// damaged line, a malformed one, an older version's line.
std::string mixed_manifest_text() {
  Manifest manifest;
  manifest.dirs.push_back(ManifestDir{".", 0755, 1});
  for (int i = 0; i < 30000; ++i) {
    const Digest digest = Digest::from_hex(std::string(64, "0123456789abcdef"[i % 16]));
    manifest.files.push_back(ManifestEntry{digest, static_cast<std::uint64_t>(i),
                                           "d/f" + std::to_string(i), i, 0644,
                                           i % 1000 == 999 ? "d/f" + std::to_string(i - 1) : ""});
  }
  const std::string hex(64, 'b');
  return format_manifest(manifest) + "# file 5 x 0644\n" + hex + "  damaged time\n" +
         "# hardlink d/f7\n" + "# file 1 1\n" + hex + " 9 older\n" + "# file 2 3 0600\n" + hex +
         "  last\n# hardlink d/f0\n";
}

TEST(CliManifestStream, FilesReadOneByOneAreTheFilesReadWhole) {
  const TempDir temp;
  const std::string path = temp.path() + "/manifest";
  write_file(path, mixed_manifest_text());
  Manifest whole, rest;
  std::vector<ManifestEntry> taken;
  std::string error;
  ASSERT_TRUE(read_manifest_file(path, whole, error)) << error;
  ASSERT_TRUE(read_manifest_file(path, rest, error,
                                 [&](ManifestEntry&& file) { taken.push_back(std::move(file)); }))
      << error;
  EXPECT_TRUE(rest.files.empty());
  ASSERT_EQ(taken.size(), whole.files.size());
  ASSERT_EQ(taken.size(), 30003u);
  for (std::size_t i = 0; i < taken.size(); ++i) {
    EXPECT_EQ(taken[i].path, whole.files[i].path);
    EXPECT_EQ(taken[i].hardlink_to(), whole.files[i].hardlink_to()) << taken[i].path;
    EXPECT_EQ(taken[i].damaged_line(), whole.files[i].damaged_line());
    EXPECT_EQ(taken[i].lost, whole.files[i].lost);
    EXPECT_EQ(taken[i].size, whole.files[i].size);
    EXPECT_EQ(taken[i].mtime_ns, whole.files[i].mtime_ns);
    EXPECT_EQ(taken[i].mode, whole.files[i].mode);
    EXPECT_EQ(taken[i].sha256, whole.files[i].sha256);
  }
  EXPECT_EQ(taken.back().hardlink_to(), "d/f0");
  EXPECT_EQ(taken[30000].damaged_line(), whole.files[30000].damaged_line());
  EXPECT_NE(taken[30000].damaged_line(), 0u);
  EXPECT_EQ(rest.problems, whole.problems);
  EXPECT_EQ(rest.damaged, whole.damaged);
  EXPECT_EQ(rest.dirs.size(), whole.dirs.size());
}

TEST(CliManifestStream, WrittenInBlocksItIsTheFormattedText) {
  Manifest manifest;
  std::string error;
  ASSERT_FALSE(parse_manifest(mixed_manifest_text(), manifest, error));  // one malformed line
  std::vector<std::string> blocks;
  ASSERT_TRUE(write_manifest(manifest, [&](std::string_view block) {
    blocks.emplace_back(block);
    return true;
  }));
  std::string joined;
  for (const std::string& block : blocks) {
    EXPECT_LT(block.size(), (1u << 20) + 4096);
    joined += block;
  }
  EXPECT_GT(blocks.size(), 2u);
  EXPECT_EQ(joined, format_manifest(manifest));
  // The first write that fails stops it; a scratch file it fails is removed.
  std::size_t writes = 0;
  EXPECT_FALSE(write_manifest(manifest, [&](std::string_view) { return ++writes < 2; }));
  EXPECT_EQ(writes, 2u);
  const TempDir temp;
  std::string path;
  EXPECT_FALSE(write_scratch_file(
      temp.path(), ".brevanto-manifest",
      [&](const ScratchBlockWriter& write) { return write("part") && false; }, path, error));
  DIR* dir = opendir(temp.path().c_str());
  std::size_t names = 0;
  while (readdir(dir) != nullptr) ++names;
  closedir(dir);
  EXPECT_EQ(names, 2u);  // "." and ".."
}

TEST(CliManifestStream, AnEntryKeepsItsOwnHardLinkAndDamagedLine) {
  EXPECT_LE(sizeof(ManifestEntry), 96u);  // a manifest's size grows with it
  ManifestEntry entry(Digest(), 1, "b", 2, 0644, "a");
  entry.set_damaged_line(7);
  ManifestEntry copy = entry;
  copy.set_hardlink_to("c");
  EXPECT_EQ(entry.hardlink_to(), "a");
  EXPECT_EQ(copy.damaged_line(), 7u);
  copy = ManifestEntry(Digest(), 1, "d");
  EXPECT_EQ(copy.hardlink_to(), "");
  EXPECT_EQ(copy.damaged_line(), 0u);
  copy = entry;
  entry.set_hardlink_to("");
  EXPECT_EQ(entry.damaged_line(), 7u);  // the other rare field stays
  EXPECT_EQ(copy.hardlink_to(), "a");
  entry.set_damaged_line(0);
  EXPECT_EQ(entry.hardlink_to(), "");
}

}  // namespace
