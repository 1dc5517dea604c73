#include "cli/manifest/manifest.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace {

constexpr std::string_view kHeader = "# brevanto manifest 2";
constexpr std::string_view kIncomplete = "# incomplete";
constexpr std::string_view kDirPrefix = "# dir ";
constexpr std::string_view kFilePrefix = "# file ";
constexpr std::string_view kHardlinkPrefix = "# hardlink ";
constexpr std::string_view kLinkPrefix = "# link ";

// A path as sha256sum writes it: unchanged, or with a leading backslash
// when it holds a backslash, a newline or a carriage return, which are then
// written as "\\", "\n" and "\r".
bool needs_escape(std::string_view text) {
  return text.find_first_of("\\\n\r") != std::string_view::npos;
}

std::string escape(std::string_view text) {
  if (!needs_escape(text)) return std::string(text);
  std::string out = "\\";
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

// The path an escaped field stands for; false when an escape is unknown.
bool unescape(std::string_view text, std::string& out) {
  out.clear();
  if (text.empty() || text[0] != '\\') {
    out = std::string(text);
    return true;
  }
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case '\\': out += '\\'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      default: return false;
    }
  }
  return true;
}

bool is_hex_digest(std::string_view text) {
  if (text.size() != 64) return false;
  for (const char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool parse_unsigned(std::string_view text, std::uint64_t& value, int base = 10) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c >= '0' + base) return false;
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

// A time of either sign whose magnitude fits an int64_t; the smallest value,
// which has no positive counterpart, is refused (it also marks an unknown
// time).
bool parse_time(std::string_view text, std::int64_t& time) {
  const bool negative = !text.empty() && text[0] == '-';
  std::uint64_t value = 0;
  if (!parse_unsigned(negative ? text.substr(1) : text, value) ||
      value > static_cast<std::uint64_t>(INT64_MAX)) {
    return false;
  }
  time = static_cast<std::int64_t>(value);
  if (negative) time = -time;
  return true;
}

bool parse_mode(std::string_view text, int& mode) {
  std::uint64_t value = 0;
  if (!parse_unsigned(text, value, 8) || value > 07777) return false;
  mode = static_cast<int>(value);
  return true;
}

// Splits off the text before the next blank.
std::string_view take_field(std::string_view& rest) {
  const std::size_t cut = rest.find(' ');
  const std::string_view field = rest.substr(0, cut);
  rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  return field;
}

std::string mode_text(int mode) {
  char text[8];
  std::snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(mode));
  return text;
}

// What the parser carries from one line to the next.
struct LineState {
  std::size_t line_number = 0;    // of the line being read
  ManifestEntry pending;          // a "# file" line's metadata
  std::size_t pending_line = 0;   // its line number; 0 when none waits
  bool file_read = false;         // this line completed a file
  bool after_file = false;        // the line before completed a file
};

// Notes in `manifest` that the entry of `line` lost the fields `lost`.
void note_damage(Manifest& manifest, std::size_t line, unsigned lost) {
  if (lost == 0) return;
  manifest.damaged.push_back("line " + std::to_string(line) + " is damaged: its " +
                             lost_metadata_text(lost) + " cannot be read");
}

bool is_checksum_line(std::string_view line) {
  if (!line.empty() && line[0] == '\\') line.remove_prefix(1);
  return line.size() >= 67 && is_hex_digest(line.substr(0, 64)) && line[64] == ' ' &&
         (line[65] == ' ' || line[65] == '*');
}

// Parses one line into `manifest`; false when it is malformed.
bool parse_line(std::string_view line, Manifest& manifest, LineState& state) {
  if (line == kHeader || line.empty()) return true;
  if (line == kIncomplete) {
    manifest.incomplete = true;
    return true;
  }
  if (line.substr(0, kDirPrefix.size()) == kDirPrefix) {
    std::string_view rest = line.substr(kDirPrefix.size());
    ManifestDir dir;
    // A number that cannot be read is lost; the path still names the folder.
    if (!parse_mode(take_field(rest), dir.mode)) dir.lost |= kLostMode;
    if (!parse_time(take_field(rest), dir.mtime_ns)) dir.lost |= kLostTime;
    if (rest.empty() || !unescape(rest, dir.path)) return false;
    dir.damaged_line = dir.lost != 0 ? state.line_number : 0;
    note_damage(manifest, state.line_number, dir.lost);
    manifest.dirs.push_back(std::move(dir));
    return true;
  }
  if (line.substr(0, kFilePrefix.size()) == kFilePrefix) {
    // The checksum line after it names the file and its content: a number
    // here that cannot be read is lost, not the file.
    std::string_view rest = line.substr(kFilePrefix.size());
    ManifestEntry& pending = state.pending;
    pending = ManifestEntry();
    if (!parse_unsigned(take_field(rest), pending.size)) pending.lost |= kLostSize;
    if (!parse_time(take_field(rest), pending.mtime_ns)) pending.lost |= kLostTime;
    int mode = kUnknownMode;
    if (parse_mode(take_field(rest), mode)) {
      pending.mode = static_cast<std::int16_t>(mode);
    } else {
      pending.lost |= kLostMode;
    }
    if (!rest.empty()) pending.lost = kLostSize | kLostTime | kLostMode;  // which field is which?
    if (pending.lost & kLostSize) pending.size = 0;
    if (pending.lost & kLostTime) pending.mtime_ns = kUnknownTime;
    if (pending.lost & kLostMode) pending.mode = kUnknownMode;
    return true;
  }
  if (line.substr(0, kHardlinkPrefix.size()) == kHardlinkPrefix) {
    // It belongs to the file of the lines just before.
    if (!state.after_file || manifest.files.empty()) return false;
    std::string to;
    if (!unescape(line.substr(kHardlinkPrefix.size()), to) || to.empty()) return false;
    manifest.files.back().set_hardlink_to(std::move(to));
    return true;
  }
  if (line.substr(0, kLinkPrefix.size()) == kLinkPrefix) {
    std::string_view rest = line.substr(kLinkPrefix.size());
    ManifestLink link;
    std::uint64_t length = 0;
    if (!parse_time(take_field(rest), link.mtime_ns)) link.lost = kLostTime;
    if (!parse_unsigned(take_field(rest), length) || length == 0 || length >= rest.size() ||
        rest[length] != ' ' || !unescape(rest.substr(0, length), link.path) ||
        !unescape(rest.substr(length + 1), link.target) || link.target.empty()) {
      return false;
    }
    link.damaged_line = link.lost != 0 ? state.line_number : 0;
    note_damage(manifest, state.line_number, link.lost);
    manifest.links.push_back(std::move(link));
    return true;
  }
  if (line[0] == '#') return true;  // a comment of a later version
  const bool escaped = line[0] == '\\';
  if (escaped) line.remove_prefix(1);
  if (line.size() < 67 || !is_hex_digest(line.substr(0, 64)) || line[64] != ' ') return false;
  ManifestEntry entry;
  if (line[65] == ' ' || line[65] == '*') {  // as sha256sum writes it, text or binary
    if (state.pending_line == 0) return false;
    entry = std::move(state.pending);
    if (entry.lost != 0) entry.set_damaged_line(state.pending_line);
    note_damage(manifest, state.pending_line, entry.lost);
    state.pending_line = 0;
    const std::string_view path = line.substr(66);
    if (!escaped) {
      entry.path = std::string(path);
    } else if (!unescape("\\" + std::string(path), entry.path)) {
      return false;
    }
    state.file_read = true;
  } else if (escaped) {
    return false;
  } else {  // an older manifest: "<hex> <size> <path>"
    std::string_view rest = line.substr(65);
    if (!parse_unsigned(take_field(rest), entry.size) || rest.empty()) return false;
    entry.path = std::string(rest);
  }
  entry.sha256 = Digest::from_hex(line.substr(0, 64));
  manifest.files.push_back(std::move(entry));
  return true;
}

}  // namespace

ManifestEntry::ManifestEntry(Digest sha256, std::uint64_t size, std::string path,
                             std::int64_t mtime_ns, int mode, std::string hardlink_to)
    : path(std::move(path)), size(size), mtime_ns(mtime_ns), sha256(sha256),
      mode(static_cast<std::int16_t>(mode)) {
  set_hardlink_to(std::move(hardlink_to));
}

ManifestEntry::ManifestEntry(const ManifestEntry& other)
    : path(other.path), size(other.size), mtime_ns(other.mtime_ns), sha256(other.sha256),
      lost(other.lost), mode(other.mode),
      rare_(other.rare_ ? std::make_unique<Rare>(*other.rare_) : nullptr) {}

ManifestEntry& ManifestEntry::operator=(const ManifestEntry& other) {
  if (this != &other) *this = ManifestEntry(other);
  return *this;
}

const std::string& ManifestEntry::hardlink_to() const {
  static const std::string kNone;
  return rare_ ? rare_->hardlink_to : kNone;
}

void ManifestEntry::set_hardlink_to(std::string name) {
  if (name.empty() && !rare_) return;
  rare().hardlink_to = std::move(name);
  if (rare_->hardlink_to.empty() && rare_->damaged_line == 0) rare_.reset();
}

void ManifestEntry::set_damaged_line(std::size_t line) {
  if (line == 0 && !rare_) return;
  rare().damaged_line = line;
  if (rare_->hardlink_to.empty() && rare_->damaged_line == 0) rare_.reset();
}

ManifestEntry::Rare& ManifestEntry::rare() {
  if (!rare_) rare_ = std::make_unique<Rare>();
  return *rare_;
}

std::string lost_metadata_text(unsigned lost) {
  std::vector<const char*> names;
  if (lost & kLostSize) names.push_back("size");
  if (lost & kLostTime) names.push_back("modification time");
  if (lost & kLostMode) names.push_back("mode");
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " and " : ", ";
    text += names[i];
  }
  return text;
}

bool write_manifest(const Manifest& manifest, const ManifestBlockWriter& write) {
  constexpr std::size_t kBlockSize = 1 << 20;
  std::string text;
  // Hands on the text gathered once it makes a block (all of it at the end).
  const auto flush = [&](bool last) {
    if (text.size() < kBlockSize && !(last && !text.empty())) return true;
    const bool written = write(text);
    text.clear();
    return written;
  };
  text += kHeader;
  text += '\n';
  if (manifest.incomplete) text += std::string(kIncomplete) + '\n';
  for (const ManifestDir& dir : manifest.dirs) {
    text += std::string(kDirPrefix) + mode_text(dir.mode) + ' ' + std::to_string(dir.mtime_ns) +
            ' ' + escape(dir.path) + '\n';
    if (!flush(false)) return false;
  }
  for (const ManifestEntry& entry : manifest.files) {
    text += std::string(kFilePrefix) + std::to_string(entry.size) + ' ' +
            std::to_string(entry.mtime_ns) + ' ' + mode_text(entry.mode) + '\n';
    const std::string path = escape(entry.path);
    if (needs_escape(entry.path)) {  // the mark goes before the hash
      text += '\\' + entry.sha256.hex() + "  " + path.substr(1) + '\n';
    } else {
      text += entry.sha256.hex() + "  " + path + '\n';
    }
    if (!entry.hardlink_to().empty()) {
      text += std::string(kHardlinkPrefix) + escape(entry.hardlink_to()) + '\n';
    }
    if (!flush(false)) return false;
  }
  for (const ManifestLink& link : manifest.links) {
    const std::string path = escape(link.path);
    text += std::string(kLinkPrefix) + std::to_string(link.mtime_ns) + ' ' +
            std::to_string(path.size()) + ' ' + path + ' ' + escape(link.target) + '\n';
    if (!flush(false)) return false;
  }
  return flush(true);
}

std::string format_manifest(const Manifest& manifest) {
  // Reserved once, a little over the size unless many names need escapes:
  // a growing string would hold up to twice the manifest at its peak.
  std::size_t size = 64;
  for (const ManifestDir& dir : manifest.dirs) size += 40 + dir.path.size();
  for (const ManifestEntry& entry : manifest.files) {
    size += 120 + entry.path.size() + entry.hardlink_to().size();
  }
  for (const ManifestLink& link : manifest.links) {
    size += 40 + link.path.size() + link.target.size();
  }
  std::string text;
  text.reserve(size);
  write_manifest(manifest, [&text](std::string_view block) {
    text += block;
    return true;
  });
  return text;
}

namespace {

// Reads a manifest line by line, from one text or from blocks of a file.
class ManifestParser {
 public:
  // With `take_file`, the files go there instead of to manifest.files.
  explicit ManifestParser(Manifest& manifest, const ManifestFileSink* take_file = nullptr)
      : manifest_(manifest), take_file_(take_file) {}

  // Parses every whole line of `text`; returns how many bytes it took (the
  // rest is a line still to be completed, unless `last`).
  std::size_t feed(std::string_view text, bool last) {
    std::size_t taken = 0;
    while (taken < text.size()) {
      const std::size_t end = text.find('\n', taken);
      if (end == std::string_view::npos && !last) break;
      const std::size_t stop = end == std::string_view::npos ? text.size() : end;
      line(text.substr(taken, stop - taken));
      taken = end == std::string_view::npos ? text.size() : end + 1;
    }
    return taken;
  }

  // After the last line: false, with `error` naming the first problem, when
  // there is any.
  bool finish(std::string& error) {
    if (state_.pending_line != 0) dangling();
    if (take_file_) {
      for (ManifestEntry& file : manifest_.files) (*take_file_)(std::move(file));
      manifest_.files.clear();
    }
    if (manifest_.problems.empty()) return true;
    error = manifest_.problems.front();
    return false;
  }

 private:
  void line(std::string_view line) {
    ++line_number_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    state_.line_number = line_number_;
    state_.after_file = state_.file_read;
    state_.file_read = false;
    const bool file_line = line.substr(0, kFilePrefix.size()) == kFilePrefix;
    if (state_.pending_line != 0 && (file_line || !is_checksum_line(line))) dangling();
    if (!parse_line(line, manifest_, state_)) {
      manifest_.problems.push_back("line " + std::to_string(line_number_) + " is malformed");
    } else if (file_line) {
      state_.pending_line = line_number_;
    }
    // A file is whole once the next one begins: a hard link line may still
    // follow the last one.
    if (take_file_ && manifest_.files.size() > 1) {
      (*take_file_)(std::move(manifest_.files.front()));
      manifest_.files.front() = std::move(manifest_.files.back());
      manifest_.files.pop_back();
    }
  }

  void dangling() {  // a "# file" line whose checksum line never came
    manifest_.problems.push_back("line " + std::to_string(state_.pending_line) +
                                 " is malformed: no checksum line follows it");
    state_.pending_line = 0;
  }

  Manifest& manifest_;
  const ManifestFileSink* take_file_;
  LineState state_;
  std::size_t line_number_ = 0;
};

}  // namespace

bool parse_manifest(std::string_view text, Manifest& manifest, std::string& error) {
  // A file takes two lines (older manifests: one); reserving for them spares
  // the copies of a growing vector.
  const auto lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  manifest.files.reserve(manifest.files.size() + lines / 2 + 1);
  ManifestParser parser(manifest);
  parser.feed(text, true);
  return parser.finish(error);
}

bool read_manifest_file(const std::string& path, Manifest& manifest, std::string& error) {
  return read_manifest_file(path, manifest, error, nullptr);
}

bool read_manifest_file(const std::string& path, Manifest& manifest, std::string& error,
                        const ManifestFileSink& take_file) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    error = std::strerror(errno);
    return false;
  }
  // Read in blocks, never the whole text. Files kept here are reserved once
  // at their number, counted in a first pass.
  std::vector<char> block(1 << 20);
  if (!take_file) {
    std::size_t lines = 0;
    for (std::size_t got; (got = std::fread(block.data(), 1, block.size(), file)) > 0;) {
      lines += static_cast<std::size_t>(std::count(block.data(), block.data() + got, '\n'));
    }
    manifest.files.reserve(manifest.files.size() + lines / 2 + 1);
    std::rewind(file);
  }
  ManifestParser parser(manifest, take_file ? &take_file : nullptr);
  std::size_t kept = 0;  // the start of a line the last block cut
  for (;;) {
    if (kept == block.size()) block.resize(2 * block.size());  // a line longer than a block
    const std::size_t got = std::fread(block.data() + kept, 1, block.size() - kept, file);
    const bool last = got == 0;
    const std::size_t size = kept + got;
    const std::size_t taken = parser.feed(std::string_view(block.data(), size), last);
    if (last) break;
    std::memmove(block.data(), block.data() + taken, size - taken);
    kept = size - taken;
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    error = "read error";
    return false;
  }
  std::string first_problem;  // the problems stay in manifest.problems
  parser.finish(first_problem);
  return true;
}
