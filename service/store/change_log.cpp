#include "service/store/change_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "service/errors.h"
#include "service/fd_write.h"

namespace {

constexpr std::size_t kRecordHead = 4 + 8;  // length, checksum
// No payload is larger, and a length beyond this is a damaged record: a
// change's largest part is a content's data (a small content, or a large
// one's chunk list, 76 bytes a chunk), and neither catalog takes a value
// over 1 GB, so every change a catalog took can be logged and read back.
constexpr std::uint32_t kMaxPayload = 1u << 30;

std::uint64_t fnv1a(const char* data, std::size_t size) {
  std::uint64_t hash = 14695981039346656037ull;
  for (std::size_t i = 0; i < size; ++i) {
    hash ^= static_cast<unsigned char>(data[i]);
    hash *= 1099511628211ull;
  }
  return hash;
}

void put_uint(std::string& out, std::uint64_t value, int bytes) {
  char little[8];
  for (int i = 0; i < bytes; ++i) little[i] = static_cast<char>((value >> (8 * i)) & 0xff);
  out.append(little, static_cast<std::size_t>(bytes));
}
void put_int(std::string& out, std::int64_t value) {
  put_uint(out, static_cast<std::uint64_t>(value), 8);
}
void put_text(std::string& out, const std::string& text) {
  put_uint(out, text.size(), 4);
  out += text;
}

// Reads bytes front to back; any read past their end fails the whole.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  bool ok() const { return ok_; }
  bool done() const { return ok_ && at_ == bytes_.size(); }
  std::uint64_t uint(int bytes) {
    if (!take(bytes)) return 0;
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
      value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes_[at_ - bytes + i]))
               << (8 * i);
    }
    return value;
  }
  std::int64_t int64() { return static_cast<std::int64_t>(uint(8)); }
  std::string text() {
    const std::size_t size = uint(4);
    if (!take(size)) return {};
    return std::string(bytes_.substr(at_ - size, size));
  }

 private:
  bool take(std::size_t size) {
    if (!ok_ || bytes_.size() - at_ < size) return ok_ = false;
    at_ += size;
    return true;
  }
  std::string_view bytes_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

void put_entry(std::string& out, const Entry& e) {
  put_text(out, e.parent);
  put_text(out, e.name);
  put_uint(out, e.is_dir ? 1 : 0, 1);
  put_text(out, e.content);
  put_int(out, e.size);
  put_int(out, e.backup_type);
  put_int(out, e.reversion);
  put_int(out, e.create_time);
  put_int(out, e.modify_time);
}

Entry read_entry(Reader& in) {
  Entry e;
  e.parent = in.text();
  e.name = in.text();
  e.is_dir = in.uint(1) != 0;
  e.content = in.text();
  e.size = in.int64();
  e.backup_type = static_cast<int>(in.int64());
  e.reversion = in.int64();
  e.create_time = in.int64();
  e.modify_time = in.int64();
  return e;
}

[[noreturn]] void fail(const std::string& what, int error) {
  throw ServiceError(error == ENOSPC || error == EDQUOT ? kDiskFull : kInternal,
                     "catalog change log: " + what + ": " + std::strerror(error));
}

}  // namespace

ChangeLog::ChangeLog(const std::string& file, bool read_only) {
  const int flags = read_only ? O_RDONLY : O_RDWR | O_CREAT | O_APPEND;
  fd_.reset(::open(file.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd_.valid()) {
    if (read_only && errno == ENOENT) return;
    fail("cannot open " + file, errno);
  }
  struct stat st;
  if (::fstat(fd_.get(), &st) != 0) fail("cannot read " + file, errno);
  size_ = static_cast<std::uint64_t>(st.st_size);
}

void ChangeLog::encode(const LoggedChange& logged, std::string& out) {
  const Change& c = logged.change;
  put_int(out, logged.seq);
  put_int(out, logged.now);
  put_uint(out, static_cast<std::uint64_t>(c.kind), 1);
  put_int(out, c.tree.user_id);
  put_text(out, c.tree.project);
  put_uint(out, c.path.size(), 4);
  for (const std::string& name : c.path) put_text(out, name);
  put_entry(out, c.file);
  put_text(out, c.content.sha256);
  put_int(out, c.content.size);
  put_uint(out, c.content.external ? 1 : 0, 1);
  put_text(out, c.content.bytes);
}

bool ChangeLog::decode(std::string_view payload, LoggedChange& logged) {
  Reader in(payload);
  Change& c = logged.change;
  logged.seq = in.int64();
  logged.now = in.int64();
  const std::uint64_t kind = in.uint(1);
  if (kind > Change::kRemove) return false;
  c.kind = static_cast<Change::Kind>(kind);
  c.tree.user_id = in.int64();
  c.tree.project = in.text();
  const std::size_t names = in.uint(4);
  c.path.clear();
  for (std::size_t i = 0; i < names && in.ok(); ++i) c.path.push_back(in.text());
  c.file = read_entry(in);
  c.content.sha256 = in.text();
  c.content.size = in.int64();
  c.content.external = in.uint(1) != 0;
  c.content.bytes = in.text();
  return in.done();
}

void ChangeLog::add(const Change& change, std::int64_t seq, std::int64_t now) {
  const std::size_t head = batch_.size();
  batch_.append(kRecordHead, '\0');
  encode(LoggedChange{seq, now, change}, batch_);
  const std::size_t payload = batch_.size() - head - kRecordHead;
  const std::uint64_t sum = fnv1a(batch_.data() + head + kRecordHead, payload);
  for (std::size_t i = 0; i < 4; ++i) batch_[head + i] = static_cast<char>(payload >> (8 * i));
  for (std::size_t i = 0; i < 8; ++i) batch_[head + 4 + i] = static_cast<char>(sum >> (8 * i));
}

void ChangeLog::append() {
  if (batch_.empty()) return;
  // The buffer is emptied, not given up, for the next batch (unless a
  // batch of a long chunk list made it large).
  const bool written = write_all(fd_.get(), batch_.data(), batch_.size());
  const std::size_t bytes = batch_.size();
  batch_.clear();
  if (batch_.capacity() > (1u << 20)) std::string().swap(batch_);
  if (written) {
    size_ += bytes;
    return;
  }
  const int error = errno;
  // A part written would be read as changes the catalog never made.
  if (::ftruncate(fd_.get(), static_cast<off_t>(size_)) != 0) {
    fail("cannot take back a part written (" + std::string(std::strerror(error)) + ")", errno);
  }
  fail("cannot write", error);
}

std::vector<LoggedChange> ChangeLog::read_all() const {
  std::vector<LoggedChange> out;
  if (!fd_.valid()) return out;
  std::string bytes(size_, '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::pread(fd_.get(), bytes.data() + got, bytes.size() - got,
                              static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail("cannot read", errno);
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  std::size_t at = 0;
  while (bytes.size() - at >= kRecordHead) {
    Reader head(std::string_view(bytes).substr(at, kRecordHead));
    const std::uint64_t size = head.uint(4);
    const std::uint64_t sum = head.uint(8);
    if (size > kMaxPayload || bytes.size() - at - kRecordHead < size) break;
    const std::string_view payload = std::string_view(bytes).substr(at + kRecordHead, size);
    LoggedChange logged;
    if (fnv1a(payload.data(), payload.size()) != sum || !decode(payload, logged)) break;
    out.push_back(std::move(logged));
    at += kRecordHead + size;
  }
  return out;
}

void ChangeLog::clear() {
  if (::ftruncate(fd_.get(), 0) != 0) fail("cannot empty", errno);
  size_ = 0;
}
