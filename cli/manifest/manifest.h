// The manifest a backup stores beside its files: the snapshot of the backup,
// every file with its size, modification time, mode and SHA-256, and every
// directory with its mode and modification time, and every symbolic link
// with its target. Paths are relative, with '/' separators; the backed-up
// directory itself is ".".
//
// Each file is one line as sha256sum writes it ("<sha256 hex>  <path>"),
// after a comment line with its metadata; sha256sum -c skips comment lines,
// so a restored tree can be checked with `sha256sum -c` from its top:
//
//   # brevanto manifest 2
//   # incomplete                          (only when the backup was stopped)
//   # dir <mode, octal> <mtime, ns since 1970> <path>
//   # file <size> <mtime, ns since 1970> <mode, octal>
//   <sha256 hex>  <path>
//   # hardlink <path>                     (the file above is a hard link of
//                                          that earlier file)
//   # link <mtime, ns> <path length> <path> <target>
//
// Names are the local names' bytes. A path holding a backslash, a newline
// or a carriage return is written as sha256sum writes it: a backslash before
// the line's hash (before the path field on comment lines), and the path
// with "\\", "\n" and "\r" for those bytes; a link's target likewise. In a
// link line, <path length> counts the bytes of <path> as written. Older versions skip the "# link" and
// "# hardlink" lines (a hard link's file is listed whole as well).
//
// Manifests of older versions ("<sha256 hex> <size> <path>" lines) are read
// too, without times and modes.
#ifndef BREVANTO_CLI_MANIFEST_H_
#define BREVANTO_CLI_MANIFEST_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/manifest/digest.h"

// Name of the manifest inside the backup's storage directory.
inline constexpr char kManifestName[] = ".brevanto-manifest";

// A time or mode the manifest does not record (older manifests).
inline constexpr std::int64_t kUnknownTime = INT64_MIN;
inline constexpr int kUnknownMode = -1;

// Metadata a damaged line lost: the entry is kept with what could be read,
// and these fields are unknown (a lost size reads 0, a lost time
// kUnknownTime, a lost mode kUnknownMode).
enum LostMetadata : unsigned { kLostSize = 1, kLostTime = 2, kLostMode = 4 };

// "size, modification time and mode": the fields `lost` names, for messages.
std::string lost_metadata_text(unsigned lost);

// One file. A manifest holds one per file of the backup, so the entry is
// kept small: 96 bytes, the path's bytes beside it when they are longer
// than 15, and the fields few files have (a hard link, a damaged line)
// behind one pointer that is null for the others.
struct ManifestEntry {
  ManifestEntry() = default;
  ManifestEntry(Digest sha256, std::uint64_t size, std::string path,
                std::int64_t mtime_ns = kUnknownTime, int mode = kUnknownMode,
                std::string hardlink_to = std::string());
  ManifestEntry(const ManifestEntry& other);
  ManifestEntry& operator=(const ManifestEntry& other);
  ManifestEntry(ManifestEntry&&) noexcept = default;
  ManifestEntry& operator=(ManifestEntry&&) noexcept = default;
  ~ManifestEntry() = default;

  std::string path;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = kUnknownTime;
  Digest sha256;
  std::uint8_t lost = 0;                 // LostMetadata bits
  std::int16_t mode = kUnknownMode;      // permission bits (07777)

  // An earlier file of the manifest this one is a hard link of; empty when
  // none.
  const std::string& hardlink_to() const;
  void set_hardlink_to(std::string name);
  // The line that lost the `lost` fields; 0 when none did.
  std::size_t damaged_line() const { return rare_ ? rare_->damaged_line : 0; }
  void set_damaged_line(std::size_t line);

 private:
  struct Rare {
    std::string hardlink_to;
    std::size_t damaged_line = 0;
  };
  Rare& rare();

  std::unique_ptr<Rare> rare_;
};

// A symbolic link, with its target as it was (not followed).
struct ManifestLink {
  std::string path;
  std::string target;
  std::int64_t mtime_ns = kUnknownTime;
  unsigned lost = 0;
  std::size_t damaged_line = 0;
};

struct ManifestDir {
  std::string path;
  int mode = kUnknownMode;
  std::int64_t mtime_ns = kUnknownTime;
  unsigned lost = 0;
  std::size_t damaged_line = 0;
};

struct Manifest {
  std::vector<ManifestEntry> files;
  std::vector<ManifestDir> dirs;
  std::vector<ManifestLink> links;
  bool incomplete = false;  // the backup was stopped before its end
  // Lines that could not be read ("line 7 is malformed"), in order; the
  // entries of every other line are kept.
  std::vector<std::string> problems;
  // Lines kept without some of their metadata ("line 7: its modification
  // time cannot be read"), in order; their entries carry the lost fields.
  std::vector<std::string> damaged;
};

std::string format_manifest(const Manifest& manifest);

// Takes a block of a manifest's text; false to stop.
using ManifestBlockWriter = std::function<bool(std::string_view block)>;

// The text format_manifest makes, handed to `write` a block (about 1 MiB)
// at a time, so that the text of a large manifest is never held whole.
// False as soon as `write` returns false.
bool write_manifest(const Manifest& manifest, const ManifestBlockWriter& write);

// Reads every line it can. A manifest is stored where anyone with the
// account may change it, so no line is trusted: a line that yields no entry
// (a file's metadata without its checksum line, a checksum line without
// its metadata, a link whose length is wrong, an unknown escape) goes to
// manifest.problems and the others are kept. A file, directory or link
// line whose path can be read but some of whose numbers cannot (a bad
// number, a time outside the 64-bit range, fields missing) keeps its entry
// without them: it goes to manifest.damaged and the entry's `lost` names
// the fields. False, with `error` naming the first problem, when there is
// any (damaged lines are none).
bool parse_manifest(std::string_view text, Manifest& manifest, std::string& error);

// Reads the manifest file at `path` as parse_manifest reads a text, in
// blocks (a manifest of 200,000 files is some 24 MB of text, never held
// whole). False, with `error` set, only when the file cannot be read; the
// lines that cannot be parsed go to manifest.problems.
bool read_manifest_file(const std::string& path, Manifest& manifest, std::string& error);

// Takes each file of a manifest as it is read.
using ManifestFileSink = std::function<void(ManifestEntry&& file)>;

// As above, but every file goes to `take_file` as soon as it is whole (its
// hard link line read), none to manifest.files: the files of a large
// manifest are never held together. The rest of `manifest` is filled as
// above.
bool read_manifest_file(const std::string& path, Manifest& manifest, std::string& error,
                        const ManifestFileSink& take_file);

#endif  // BREVANTO_CLI_MANIFEST_H_
