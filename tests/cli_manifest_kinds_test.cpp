// The manifest's symbolic links, hard links and names of any bytes: every
// name Linux allows is written so that it reads back byte for byte, and a
// line of these kinds that cannot be read costs that line only.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/manifest/manifest.h"
#include "cli/manifest/stored_name.h"

namespace {

const std::string kHex(64, 'a');

TEST(CliManifestKinds, EveryNameReadsBackByteForByte) {
  const std::vector<std::string> names = {
      "plain.txt", "a b/c d", "back\\slash", "new\nline", "carriage\rreturn", "quote\"d",
      "not utf8 \xff\xfe", "ends in \\", "\\n literally", "dir/\x01control", "-> arrow",
  };
  Manifest manifest;
  manifest.dirs.push_back(ManifestDir{".", 0755, 1});
  for (const std::string& name : names) {
    manifest.dirs.push_back(ManifestDir{name, 0700, 2});
    manifest.files.push_back(ManifestEntry{Digest::from_hex(kHex), 3, name, 4, 0644, ""});
    manifest.links.push_back(ManifestLink{name + " link", "../" + name + " target", -5});
  }
  manifest.files.push_back(ManifestEntry{Digest::from_hex(kHex), 3, "second name", 4, 0644, names[2]});

  Manifest read;
  std::string error;
  ASSERT_TRUE(parse_manifest(format_manifest(manifest), read, error)) << error;
  ASSERT_EQ(read.dirs.size(), manifest.dirs.size());
  ASSERT_EQ(read.files.size(), manifest.files.size());
  ASSERT_EQ(read.links.size(), manifest.links.size());
  for (std::size_t i = 0; i < manifest.dirs.size(); ++i) {
    EXPECT_EQ(read.dirs[i].path, manifest.dirs[i].path);
  }
  for (std::size_t i = 0; i < manifest.files.size(); ++i) {
    EXPECT_EQ(read.files[i].path, manifest.files[i].path);
    EXPECT_EQ(read.files[i].hardlink_to(), manifest.files[i].hardlink_to());
    EXPECT_EQ(read.files[i].mtime_ns, 4);
  }
  for (std::size_t i = 0; i < manifest.links.size(); ++i) {
    EXPECT_EQ(read.links[i].path, manifest.links[i].path);
    EXPECT_EQ(read.links[i].target, manifest.links[i].target);
    EXPECT_EQ(read.links[i].mtime_ns, -5);
  }
}

// As sha256sum writes them: names with a backslash or a line break get a
// backslash before the hash, and only those.
TEST(CliManifestKinds, WritesEscapedNamesAsSha256sumDoes) {
  Manifest manifest;
  manifest.files.push_back(ManifestEntry{Digest::from_hex(kHex), 1, "a\\b\nc", 1, 0644, ""});
  manifest.files.push_back(ManifestEntry{Digest::from_hex(kHex), 1, "quote\"d \xff", 1, 0644, ""});
  const std::string text = format_manifest(manifest);
  EXPECT_NE(text.find("\\" + kHex + "  a\\\\b\\nc\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n" + kHex + "  quote\"d \xff\n"), std::string::npos) << text;
}

struct KindCase {
  std::string text;
  std::size_t files;
  std::size_t links;
  std::vector<std::string> problems;
};

TEST(CliManifestKinds, ReportsLinesOfTheseKindsThatCannotBeRead) {
  const std::string file = "# file 1 2 0644\n" + kHex + "  a\n";
  const std::vector<KindCase> cases = {
      {file + "# hardlink b\n", 1, 0, {}},
      {"# hardlink b\n" + file, 1, 0, {"line 1 is malformed"}},
      {file + "# dir 0755 1 d\n# hardlink b\n", 1, 0, {"line 4 is malformed"}},
      {file + "# hardlink \\bad\\q\n", 1, 0, {"line 3 is malformed"}},
      {"# link 1 1 a b c\n", 0, 1, {}},
      {"# link 1 9 a b\n", 0, 0, {"line 1 is malformed"}},
      {"# link 1 0  b\n", 0, 0, {"line 1 is malformed"}},
      {"# link 1 1 a \n", 0, 0, {"line 1 is malformed"}},
      {"# link x 1 a b\n", 0, 1, {}},  // kept without its time
      {"\\" + kHex + "  a\n", 0, 0, {"line 1 is malformed"}},
      {"# file 1 2 0644\n\\" + kHex + "  a\\zb\n", 0, 0, {"line 2 is malformed"}},
  };
  for (const KindCase& c : cases) {
    Manifest manifest;
    std::string error;
    parse_manifest(c.text, manifest, error);
    EXPECT_EQ(manifest.files.size(), c.files) << c.text;
    EXPECT_EQ(manifest.links.size(), c.links) << c.text;
    EXPECT_EQ(manifest.problems, c.problems) << c.text;
  }
}

TEST(CliStoredName, EncodesOnlyNamesTheStorageCannotHold) {
  EXPECT_EQ(stored_relative("docs/a b.txt"), "docs/a b.txt");
  const std::string encoded = stored_name("a\\b");
  EXPECT_EQ(encoded.rfind(kEncodedNamePrefix, 0), 0u);
  EXPECT_EQ(encoded.size(), sizeof(kEncodedNamePrefix) - 1 + 32);
  EXPECT_NE(stored_name("a\"b"), encoded);
  EXPECT_NE(stored_name(encoded), encoded);  // a real name that looks encoded
  EXPECT_EQ(stored_relative("\xff/x/\xfe"), stored_name("\xff") + "/x/" + stored_name("\xfe"));
  EXPECT_TRUE(needs_scratch_file("ok/\xff/ok"));
  EXPECT_FALSE(needs_scratch_file("ok/ä/ok"));
}

}  // namespace
