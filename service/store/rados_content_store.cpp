#include "service/store/rados_content_store.h"

#include <fcntl.h>
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

#include "service/errors.h"

namespace {

constexpr char kSizeAttribute[] = "brevanto.size";
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

bool full_write(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool is_sha256(const std::string& text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool all_digits(const std::string& text) {
  return !text.empty() && text.size() < 19 &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

// "u<id>/<sha256>" or "u<id>/<sha256>.<n>"; false for anything else.
bool parse_object_name(const std::string& name, std::int64_t* user_id, std::string* sha256) {
  const std::size_t slash = name.find('/');
  if (name.empty() || name[0] != 'u' || slash == std::string::npos) return false;
  const std::string id = name.substr(1, slash - 1);
  std::string rest = name.substr(slash + 1);
  const std::size_t dot = rest.find('.');
  if (dot != std::string::npos) {
    if (!all_digits(rest.substr(dot + 1))) return false;
    rest.resize(dot);
  }
  if (!all_digits(id) || !is_sha256(rest)) return false;
  *user_id = std::strtoll(id.c_str(), nullptr, 10);
  *sha256 = rest;
  return true;
}

// The number after `"key":` following `from` in `json`; -1 when missing.
std::int64_t json_number_after(const std::string& json, std::size_t from, const std::string& key) {
  const std::size_t at = json.find("\"" + key + "\":", from);
  if (at == std::string::npos) return -1;
  return std::strtoll(json.c_str() + at + key.size() + 3, nullptr, 10);
}

}  // namespace

std::string rados_object_name(std::int64_t user_id, const std::string& sha256,
                              std::uint64_t piece) {
  std::string name = "u" + std::to_string(user_id) + "/" + sha256;
  if (piece > 0) name += "." + std::to_string(piece);
  return name;
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
  struct stat st;
  if (::fstat(fd, &st) != 0) return errno;
  const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  const std::uint64_t pieces = size == 0 ? 1 : (size + piece_bytes_ - 1) / piece_bytes_;
  // The pieces in order and the first one last, so that an unfinished
  // write leaves pieces 1..k that remove() finds one after another.
  for (std::uint64_t piece = 1; piece < pieces; ++piece) {
    const std::uint64_t offset = piece * piece_bytes_;
    const int err = write_piece(rados_object_name(user_id, sha256, piece), fd, offset,
                                std::min(piece_bytes_, size - offset));
    if (err != 0) return err;
  }
  const std::string first = rados_object_name(user_id, sha256, 0);
  if (size == 0) {
    const int ret = retried([&] { return rados_write(io_, first.c_str(), "", 0, 0); });
    if (ret < 0) return -ret;
  } else if (const int err = write_piece(first, fd, 0, std::min(piece_bytes_, size))) {
    return err;
  }
  const std::string size_text = std::to_string(size);
  const int ret = retried([&] {
    return rados_setxattr(io_, first.c_str(), kSizeAttribute, size_text.data(), size_text.size());
  });
  return ret < 0 ? -ret : 0;
}

int RadosContentStore::stored_size(const std::string& name, std::uint64_t* size) {
  char text[24];
  const int ret = retried(
      [&] { return rados_getxattr(io_, name.c_str(), kSizeAttribute, text, sizeof text - 1); });
  if (ret == -ENOENT || ret == -ENODATA) return ENOENT;
  if (ret < 0) return -ret;
  text[ret] = '\0';
  char* end = nullptr;
  *size = std::strtoull(text, &end, 10);
  return end != text && *end == '\0' ? 0 : EIO;
}

UniqueFd RadosContentStore::open(std::int64_t user_id, const std::string& sha256) {
  const std::string first = rados_object_name(user_id, sha256, 0);
  std::uint64_t size = 0;
  if (const int err = stored_size(first, &size)) {
    errno = err;
    return UniqueFd();
  }
  UniqueFd fd = temp_file();
  if (!fd.valid()) return fd;
  std::vector<char> buffer(std::min(size, kChunkBytes));
  for (std::uint64_t done = 0; done < size;) {
    const std::uint64_t piece = done / piece_bytes_;
    const std::uint64_t in_piece = done % piece_bytes_;
    const std::size_t want = static_cast<std::size_t>(
        std::min({size - done, kChunkBytes, piece_bytes_ - in_piece}));
    const std::string name = rados_object_name(user_id, sha256, piece);
    const int got =
        retried([&] { return rados_read(io_, name.c_str(), buffer.data(), want, in_piece); });
    if (got < 0 || static_cast<std::size_t>(got) != want) {
      errno = got < 0 ? -got : EIO;  // a piece shorter than its size says
      return UniqueFd();
    }
    if (!full_write(fd.get(), buffer.data(), want)) return UniqueFd();
    done += want;
  }
  if (::lseek(fd.get(), 0, SEEK_SET) != 0) return UniqueFd();
  return fd;
}

int RadosContentStore::remove(std::int64_t user_id, const std::string& sha256) {
  const std::string first = rados_object_name(user_id, sha256, 0);
  std::uint64_t size = 0;
  const int err = stored_size(first, &size);
  if (err != 0 && err != ENOENT) return err;
  const std::uint64_t pieces = err == 0 && size > 0 ? (size + piece_bytes_ - 1) / piece_bytes_ : 1;
  int ret = retried([&] { return rados_remove(io_, first.c_str()); });
  if (ret < 0 && ret != -ENOENT) return -ret;
  // Pieces past the first: all that the size names, then any that an
  // unfinished write left beyond.
  for (std::uint64_t piece = 1;; ++piece) {
    const std::string name = rados_object_name(user_id, sha256, piece);
    ret = retried([&] { return rados_remove(io_, name.c_str()); });
    if (ret == -ENOENT && piece >= pieces) return 0;
    if (ret < 0 && ret != -ENOENT) return -ret;
  }
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
  // Each content with the newest modification time of its objects.
  std::map<std::pair<std::int64_t, std::string>, std::time_t> newest;
  rados_list_ctx_t list = nullptr;
  if (rados_nobjects_list_open(io_, &list) < 0) return;
  const char* entry = nullptr;
  while (rados_nobjects_list_next(list, &entry, nullptr, nullptr) == 0) {
    std::int64_t user_id = 0;
    std::string sha256;
    if (!parse_object_name(entry, &user_id, &sha256)) continue;
    std::uint64_t size = 0;
    std::time_t mtime = 0;
    if (rados_stat(io_, entry, &size, &mtime) < 0) continue;
    std::time_t& at = newest[{user_id, sha256}];
    at = std::max(at, mtime);
  }
  rados_nobjects_list_close(list);
  const std::time_t before = std::time(nullptr) - sweep_min_age_.count();
  for (const auto& [key, mtime] : newest) {
    if (mtime <= before) visit(key.first, key.second);
  }
}
