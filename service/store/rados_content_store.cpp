#include "service/store/rados_content_store.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <utility>
#include <vector>

#include "service/fd_write.h"
#include "service/store/chunk_list.h"
#include "service/errors.h"

namespace {

// On the head object: "<size> <version>".
constexpr char kContentAttribute[] = "brevanto.content";
// One request to an OSD carries at most this much.
constexpr std::uint64_t kChunkBytes = 8u << 20;

class RadosContentWriter : public ContentWriter {
 public:
  RadosContentWriter(RadosContentStore& store, std::int64_t user_id, UniqueFd fd)
      : store_(store), user_id_(user_id), fd_(std::move(fd)) {}
  int fd() const override { return fd_.get(); }
  int place(const std::string& sha256) override { return store_.put(user_id_, sha256, fd_.get()); }

 private:
  RadosContentStore& store_;
  std::int64_t user_id_;
  UniqueFd fd_;
};

bool all_digits(const std::string& text) {
  return !text.empty() && text.size() < 19 &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

bool is_version(const std::string& text) {
  return text.size() == 16 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// "u<id>/<sha256>" (a head: `version` empty) or "u<id>/<sha256>.<version>.<n>"
// (a piece); false for anything else.
bool parse_object_name(const std::string& name, std::int64_t* user_id, std::string* sha256,
                       std::string* version) {
  const std::size_t slash = name.find('/');
  if (name.empty() || name[0] != 'u' || slash == std::string::npos) return false;
  const std::string id = name.substr(1, slash - 1);
  const std::string rest = name.substr(slash + 1);
  *sha256 = rest.substr(0, 64);
  version->clear();
  if (rest.size() > 64) {
    const std::size_t dot = rest.find('.', 65);
    if (rest[64] != '.' || dot == std::string::npos || !all_digits(rest.substr(dot + 1))) {
      return false;
    }
    *version = rest.substr(65, dot - 65);
    if (!is_version(*version)) return false;
  }
  if (!all_digits(id) || !is_sha256(*sha256)) return false;
  *user_id = std::strtoll(id.c_str(), nullptr, 10);
  return true;
}

// 16 random hex digits; empty (errno set) when the kernel gives none.
std::string new_version() {
  unsigned char bytes[8];
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return "";
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char b : bytes) {
    text += kHex[b >> 4];
    text += kHex[b & 15];
  }
  return text;
}

// The number after `"key":` following `from` in `json`; -1 when missing.
std::int64_t json_number_after(const std::string& json, std::size_t from, const std::string& key) {
  const std::size_t at = json.find("\"" + key + "\":", from);
  if (at == std::string::npos) return -1;
  return std::strtoll(json.c_str() + at + key.size() + 3, nullptr, 10);
}

}  // namespace

std::string rados_object_name(std::int64_t user_id, const std::string& sha256) {
  return "u" + std::to_string(user_id) + "/" + sha256;
}

std::string rados_piece_name(std::int64_t user_id, const std::string& sha256,
                             const std::string& version, std::uint64_t piece) {
  return rados_object_name(user_id, sha256) + "." + version + "." + std::to_string(piece);
}

RadosContentStore::RadosContentStore(const RadosTarget& target, int temp_dir_fd,
                                     std::uint64_t piece_bytes)
    : pool_(target.pool), temp_dir_fd_(temp_dir_fd), piece_bytes_(piece_bytes) {
  const auto fail = [this, &target](const std::string& what, int ret) {
    if (io_ != nullptr) rados_ioctx_destroy(io_);
    if (cluster_ != nullptr) rados_shutdown(cluster_);
    throw ServiceError(kInternal, "RADOS pool " + target.pool + " (" + target.conf + "): " +
                                      what + ": " + std::strerror(-ret));
  };
  int ret = rados_create(&cluster_, target.id.c_str());
  if (ret < 0) {
    cluster_ = nullptr;
    fail("create the client", ret);
  }
  if ((ret = rados_conf_read_file(cluster_, target.conf.c_str())) < 0) fail("read conf", ret);
  const std::string timeout = std::to_string(target.timeout_seconds);
  for (const char* option : {"rados_osd_op_timeout", "rados_mon_op_timeout",
                             "client_mount_timeout"}) {
    if ((ret = rados_conf_set(cluster_, option, timeout.c_str())) < 0) fail(option, ret);
  }
  if ((ret = rados_connect(cluster_)) < 0) fail("connect", ret);
  if ((ret = rados_ioctx_create(cluster_, target.pool.c_str(), &io_)) < 0) {
    io_ = nullptr;
    fail("open the pool", ret);
  }
  if (!target.ns.empty()) rados_ioctx_set_namespace(io_, target.ns.c_str());
}

RadosContentStore::~RadosContentStore() {
  rados_ioctx_destroy(io_);
  rados_shutdown(cluster_);
}

UniqueFd RadosContentStore::temp_file() const {
  return UniqueFd(::openat(temp_dir_fd_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
}

std::unique_ptr<ContentWriter> RadosContentStore::begin(std::int64_t user_id) {
  UniqueFd fd = temp_file();
  if (!fd.valid()) {
    throw_errno(storage_error_code(errno, kInternal), errno, "create content temp file");
  }
  return std::make_unique<RadosContentWriter>(*this, user_id, std::move(fd));
}

int RadosContentStore::write_piece(const std::string& name, int fd, std::uint64_t offset,
                                   std::uint64_t size) {
  std::vector<char> buffer(std::min(size, kChunkBytes));
  for (std::uint64_t done = 0; done < size;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, kChunkBytes));
    const ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return EIO;  // the file shrank under us
    const int ret = retried([&] {
      return rados_write(io_, name.c_str(), buffer.data(), static_cast<std::size_t>(got), done);
    });
    if (ret < 0) return -ret;
    done += static_cast<std::uint64_t>(got);
  }
  return 0;
}

int RadosContentStore::put(std::int64_t user_id, const std::string& sha256, int fd) {
  const std::string head = rados_object_name(user_id, sha256);
  StoredContent stored;
  const int found = stored_content(head, &stored);
  if (found == 0) return 0;  // stored already: a content is never written over
  if (found != ENOENT) return found;
  struct stat st;
  if (::fstat(fd, &st) != 0) return errno;
  const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  const std::string version = new_version();
  if (version.empty()) return errno != 0 ? errno : EIO;
  const std::uint64_t pieces = (size + piece_bytes_ - 1) / piece_bytes_;
  for (std::uint64_t piece = 0; piece < pieces; ++piece) {
    const std::uint64_t offset = piece * piece_bytes_;
    const int err = write_piece(rados_piece_name(user_id, sha256, version, piece), fd, offset,
                                std::min(piece_bytes_, size - offset));
    if (err != 0) return err;
  }
  // The head, made only when missing, names the pieces in one step.
  const std::string value = std::to_string(size) + " " + version;
  const int ret = retried([&] {
    const rados_write_op_t op = rados_create_write_op();
    rados_write_op_create(op, LIBRADOS_CREATE_EXCLUSIVE, nullptr);
    rados_write_op_setxattr(op, kContentAttribute, value.data(), value.size());
    const int result = rados_write_op_operate(op, io_, head.c_str(), nullptr, 0);
    rados_release_write_op(op);
    return result;
  });
  if (ret == -EEXIST) {
    // Another writer was first (or a first try of ours that timed out).
    const int err = stored_content(head, &stored);
    if (err != 0) return err;
    if (stored.version != version) remove_pieces(user_id, sha256, version, pieces);
    return 0;
  }
  return ret < 0 ? -ret : 0;
}

int RadosContentStore::stored_content(const std::string& head, StoredContent* stored) {
  char text[64];
  const int ret = retried(
      [&] { return rados_getxattr(io_, head.c_str(), kContentAttribute, text, sizeof text - 1); });
  if (ret == -ENOENT || ret == -ENODATA) return ENOENT;
  if (ret < 0) return -ret;
  text[ret] = '\0';
  char* end = nullptr;
  stored->size = std::strtoull(text, &end, 10);
  stored->version = *end == ' ' ? end + 1 : "";
  if (end == text || !is_version(stored->version)) return EIO;
  stored->pieces = (stored->size + piece_bytes_ - 1) / piece_bytes_;
  return 0;
}

UniqueFd RadosContentStore::open(std::int64_t user_id, const std::string& sha256) {
  StoredContent stored;
  if (const int err = stored_content(rados_object_name(user_id, sha256), &stored)) {
    errno = err;
    return UniqueFd();
  }
  UniqueFd fd = temp_file();
  if (!fd.valid()) return fd;
  std::vector<char> buffer(std::min(stored.size, kChunkBytes));
  for (std::uint64_t done = 0; done < stored.size;) {
    const std::uint64_t piece = done / piece_bytes_;
    const std::uint64_t in_piece = done % piece_bytes_;
    const std::size_t want = static_cast<std::size_t>(
        std::min({stored.size - done, kChunkBytes, piece_bytes_ - in_piece}));
    const std::string name = rados_piece_name(user_id, sha256, stored.version, piece);
    const int got =
        retried([&] { return rados_read(io_, name.c_str(), buffer.data(), want, in_piece); });
    if (got < 0 || static_cast<std::size_t>(got) != want) {
      errno = got < 0 ? -got : EIO;  // a piece shorter than the size says
      return UniqueFd();
    }
    if (!write_all(fd.get(), buffer.data(), want)) return UniqueFd();
    done += want;
  }
  if (::lseek(fd.get(), 0, SEEK_SET) != 0) return UniqueFd();
  return fd;
}

int RadosContentStore::remove_pieces(std::int64_t user_id, const std::string& sha256,
                                     const std::string& version, std::uint64_t pieces) {
  for (std::uint64_t piece = 0; piece < pieces; ++piece) {
    const std::string name = rados_piece_name(user_id, sha256, version, piece);
    const int ret = retried([&] { return rados_remove(io_, name.c_str()); });
    if (ret < 0 && ret != -ENOENT) return -ret;
  }
  return 0;
}

int RadosContentStore::remove(std::int64_t user_id, const std::string& sha256) {
  const std::string head = rados_object_name(user_id, sha256);
  StoredContent stored;
  const int err = stored_content(head, &stored);
  if (err == ENOENT) return 0;
  if (err != 0) return err;
  const int ret = retried([&] { return rados_remove(io_, head.c_str()); });
  if (ret < 0 && ret != -ENOENT) return -ret;
  return remove_pieces(user_id, sha256, stored.version, stored.pieces);
}

std::int64_t RadosContentStore::free_bytes() {
  std::lock_guard<std::mutex> lock(free_mu_);
  const auto now = std::chrono::steady_clock::now();
  if (free_asked_ != std::chrono::steady_clock::time_point() &&
      now - free_asked_ < std::chrono::seconds(5)) {
    return free_;
  }
  free_asked_ = now;
  free_ = INT64_MAX;
  const char* command[] = {"{\"prefix\": \"df\", \"format\": \"json\"}"};
  char* out = nullptr;
  char* status = nullptr;
  std::size_t out_size = 0, status_size = 0;
  if (rados_mon_command(cluster_, command, 1, "", 0, &out, &out_size, &status, &status_size) < 0) {
    return free_;
  }
  const std::string json(out == nullptr ? "" : out, out_size);
  rados_buffer_free(out);
  rados_buffer_free(status);
  // Without a manager the monitor knows no statistics: totals of 0.
  if (json_number_after(json, 0, "total_bytes") <= 0) return free_;
  const std::size_t pool = json.find("\"name\":\"" + pool_ + "\"");
  if (pool == std::string::npos) return free_;
  const std::int64_t available = json_number_after(json, pool, "max_avail");
  if (available >= 0) free_ = available;
  return free_;
}

void RadosContentStore::sweep(
    const std::function<void(std::int64_t, const std::string&)>& visit) {
  struct Objects {
    std::time_t head = -1;  // the head's modification time; -1: no head
    std::map<std::string, std::vector<std::string>> pieces;  // by version
    std::map<std::string, std::time_t> newest;               // by version
  };
  std::map<std::pair<std::int64_t, std::string>, Objects> contents;
  rados_list_ctx_t list = nullptr;
  if (rados_nobjects_list_open(io_, &list) < 0) return;
  const char* entry = nullptr;
  while (rados_nobjects_list_next(list, &entry, nullptr, nullptr) == 0) {
    std::int64_t user_id = 0;
    std::string sha256, version;
    if (!parse_object_name(entry, &user_id, &sha256, &version)) continue;
    std::uint64_t size = 0;
    std::time_t mtime = 0;
    if (rados_stat(io_, entry, &size, &mtime) < 0) continue;
    Objects& objects = contents[{user_id, sha256}];
    if (version.empty()) {
      objects.head = mtime;
    } else {
      objects.pieces[version].push_back(entry);
      objects.newest[version] = std::max(objects.newest[version], mtime);
    }
  }
  rados_nobjects_list_close(list);
  const std::time_t before = std::time(nullptr) - sweep_min_age_.count();
  for (const auto& [key, objects] : contents) {
    StoredContent stored;
    const int err = objects.head >= 0
                        ? stored_content(rados_object_name(key.first, key.second), &stored)
                        : ENOENT;
    if (err != 0 && err != ENOENT) continue;  // unreadable now: leave it all
    // Pieces no head names: an unfinished write, or one that lost to
    // another writer of the content.
    for (const auto& [version, names] : objects.pieces) {
      if (version == stored.version || objects.newest.at(version) > before) continue;
      for (const std::string& name : names) rados_remove(io_, name.c_str());
    }
    if (err == 0 && objects.head <= before) visit(key.first, key.second);
  }
}
