// The project's own client (CServiceConnection) against two builds of
// brevanto-service, the same work side by side in one run, to see what the
// way a service sends its replies costs a host:
//
//   service_reply_bench OURS_SERVICE PEER_SERVICE [rounds]
//
// "ours" runs the first program, "peer" the second (the build before a
// change, say). Each gets a storage root and a local root of its own in a
// temp folder, the user alice, and a free port; both run for the whole
// run. Each round runs both sides, the one that goes first changing from
// round to round. Rows, medians of the rounds (default 5):
//   listing     getfilelist of 10,000 entries (4 folders of 2,500), entries/s
//   uploads     2,000 AddFile of 1 KiB, files/s (each stored durably)
//   downloads   2,000 DownloadFile of 1 KiB, files/s
//   3 MB up     5 AddFile of 3,000,000 bytes, with a progress callback, MB/s
//   3 MB down   5 DownloadFile of the same, MB/s
// and the operations that failed on each side (each told on stderr; a
// round with a failure is left out of its side's median).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "client/file_list.h"
#include "protocol/service_connection.h"

namespace {

constexpr int kSmallFiles = 2000;
constexpr std::size_t kSmallBytes = 1024;
constexpr int kLargeFiles = 5;
constexpr std::size_t kLargeBytes = 3000000;
constexpr int kListingFolders = 4;
constexpr int kListingFilesPerFolder = 2500;

// The services started, stopped when the run fails.
std::vector<pid_t> g_services;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "service_reply_bench: %s\n", what.c_str());
  for (const pid_t pid : g_services) {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
  }
  std::exit(1);
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// One brevanto-service process with a folder of its own under `parent`.
class Service {
 public:
  Service(const std::string& program, const std::string& parent, const std::string& name)
      : dir_(parent + "/" + name), root_(dir_ + "/root"), local_(dir_ + "/local") {
    std::filesystem::create_directories(local_);
    const std::string port_file = dir_ + "/port";
    int fds[2];
    if (::pipe(fds) != 0) fail("pipe");
    const pid_t adder = spawn(program, {"--root", root_, "--add-user", "alice"}, fds[0]);
    ::close(fds[0]);
    (void)!::write(fds[1], "s3cret\n", 7);
    ::close(fds[1]);
    int status = 0;
    ::waitpid(adder, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("cannot add a user with " + program);
    const int null_fd = ::open("/dev/null", O_RDONLY);
    pid_ = spawn(program,
                 {"--root", root_, "--local-root", local_, "--port", "0", "--port-file", port_file},
                 null_fd);
    ::close(null_fd);
    g_services.push_back(pid_);
    for (int i = 0; i < 1000 && port_ == 0; ++i) {
      std::ifstream in(port_file);
      int port = 0;
      if (in >> port) {
        port_ = static_cast<std::uint16_t>(port);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    if (port_ == 0) fail(program + " did not start");
  }
  ~Service() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }

  std::uint16_t port() const { return port_; }
  const std::string& local() const { return local_; }

 private:
  static pid_t spawn(const std::string& program, const std::vector<std::string>& args,
                     int stdin_fd) {
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(stdin_fd, STDIN_FILENO);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    return pid;
  }

  std::string dir_, root_, local_;
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
};

int ignore_report(std::uint64_t, std::uint64_t, void*) { return 0; }

// One side of the comparison: a service, a logged-in client, and the work.
class Side {
 public:
  Side(const std::string& program, const std::string& parent, const std::string& name)
      : name_(name), service_(program, parent, name) {
    conn_.port = service_.port();
    if (conn_.login(L"alice", L"s3cret", L"", L"1") != 0) fail("login to " + program);
    write_file(service_.local() + "/small", std::string(kSmallBytes, 's'));
    write_file(service_.local() + "/large", std::string(kLargeBytes, 'l'));
    // The listed files, stored through the protocol as any host would.
    write_file(service_.local() + "/empty", "");
    const std::wstring empty = widen(service_.local() + "/empty");
    for (int folder = 0; folder < kListingFolders; ++folder) {
      for (int i = 0; i < kListingFilesPerFolder; ++i) {
        char file[96];
        std::snprintf(file, sizeof(file), "\\list\\folder-%d\\entry-%05d-with-a-longer-name.txt",
                      folder, i);
        if (conn_.addfile(empty.c_str(), widen(file).c_str(), nullptr, nullptr) != 0) {
          fail("seeding the listing");
        }
      }
    }
  }

  int failures() const { return failures_; }

  // Each runs its work and tells whether all of it succeeded.
  bool listing() {
    const int result = conn_.getfilelist(L"\\list", true, entries_);
    if (result == 0 && entries_.size() == kListingFolders * (kListingFilesPerFolder + 1)) {
      return true;
    }
    note_failure("listing", result, std::to_string(entries_.size()) + " entries");
    return false;
  }
  void release() { release_file_list(entries_); }

  bool uploads() {
    const int failed_before = failures_;
    ++upload_round_;
    const std::wstring local = widen(service_.local() + "/small");
    for (int i = 0; i < kSmallFiles; ++i) {
      check(conn_.addfile(local.c_str(), name("\\up", upload_round_, i).c_str(), nullptr, nullptr),
            "upload");
    }
    return failures_ == failed_before;
  }
  bool downloads() {
    const int failed_before = failures_;
    ++download_round_;
    for (int i = 0; i < kSmallFiles; ++i) {
      const std::wstring local = widen(service_.local()) + name(L"/down", download_round_, i);
      check(conn_.downloadfile(local.c_str(), name("\\up", 1, i).c_str(), nullptr, nullptr),
            "download");
    }
    return failures_ == failed_before;
  }
  bool large_uploads() {
    const int failed_before = failures_;
    ++large_up_round_;
    const std::wstring local = widen(service_.local() + "/large");
    for (int i = 0; i < kLargeFiles; ++i) {
      check(conn_.addfile(local.c_str(), name("\\large", large_up_round_, i).c_str(), ignore_report,
                          nullptr),
            "large upload");
    }
    return failures_ == failed_before;
  }
  bool large_downloads() {
    const int failed_before = failures_;
    ++large_down_round_;
    for (int i = 0; i < kLargeFiles; ++i) {
      const std::wstring local =
          widen(service_.local()) + name(L"/large-down", large_down_round_, i);
      check(
          conn_.downloadfile(local.c_str(), name("\\large", 1, i).c_str(), ignore_report, nullptr),
          "large download");
    }
    return failures_ == failed_before;
  }

 private:
  static std::wstring name(const std::string& folder, int round, int i) {
    return widen(folder + std::to_string(round) + "\\f" + std::to_string(i));
  }
  static std::wstring name(const wchar_t* folder, int round, int i) {
    return folder + std::to_wstring(round) + L"/f" + std::to_wstring(i);
  }
  void check(int result, const char* what) {
    if (result != 0) note_failure(what, result, "");
  }
  // A failed operation is counted and told, and the run goes on: how often
  // a host fails is part of what is measured. A connection that the
  // failure ended logs in again.
  void note_failure(const char* what, int result, const std::string& detail) {
    ++failures_;
    std::fprintf(stderr, "%s: %s failed: %d %s\n", name_.c_str(), what, result, detail.c_str());
    if (!conn_.logged_in && conn_.login(L"alice", L"s3cret", L"", L"1") != 0) {
      fail(name_ + ": cannot log in again");
    }
  }

  std::string name_;
  Service service_;
  CServiceConnection conn_;
  std::list<_path_buffer*> entries_;
  int failures_ = 0;
  int upload_round_ = 0, download_round_ = 0, large_up_round_ = 0, large_down_round_ = 0;
};

// Like bench::compare, but the side that goes first changes every round,
// so that neither gains from its place, and a round whose work failed is
// left out of its side's median. A listing's entries are freed untimed.
bench::Pair alternate(int rounds, double units, Side& ours, Side& peer, bool (Side::*work)()) {
  std::vector<double> a, b;
  for (int r = 0; r < rounds; ++r) {
    for (int turn = 0; turn < 2; ++turn) {
      const bool is_ours = (turn == 0) == (r % 2 == 0);
      Side& side = is_ours ? ours : peer;
      bool ok = false;
      const double seconds = bench::seconds_of([&] { ok = (side.*work)(); });
      if (ok) (is_ours ? a : b).push_back(units / seconds);
      side.release();
    }
  }
  return {a.empty() ? 0 : bench::median(a), b.empty() ? 0 : bench::median(b)};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: service_reply_bench OURS_SERVICE PEER_SERVICE [rounds]\n");
    return 2;
  }
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  char dir_template[] = "/tmp/brevanto-reply-bench.XXXXXX";
  if (::mkdtemp(dir_template) == nullptr) fail("mkdtemp");
  const std::string dir = dir_template;
  {
    Side ours(argv[1], dir, "ours");
    Side peer(argv[2], dir, "peer");
    // A listing of each first, so that both trees are in the page cache.
    ours.listing();
    ours.release();
    peer.listing();
    peer.release();

    const double entries = kListingFolders * (kListingFilesPerFolder + 1);
    const double megabytes = kLargeFiles * kLargeBytes / 1e6;
    bench::row("listing 10,000 entries", alternate(rounds, entries, ours, peer, &Side::listing),
               "entries/s");
    bench::row("uploads of 1 KiB", alternate(rounds, kSmallFiles, ours, peer, &Side::uploads),
               "files/s");
    bench::row("downloads of 1 KiB", alternate(rounds, kSmallFiles, ours, peer, &Side::downloads),
               "files/s");
    bench::row("uploads of 3 MB", alternate(rounds, megabytes, ours, peer, &Side::large_uploads),
               "MB/s");
    bench::row("downloads of 3 MB",
               alternate(rounds, megabytes, ours, peer, &Side::large_downloads), "MB/s");
    std::printf("failed operations: ours %d, peer %d\n", ours.failures(), peer.failures());
  }
  std::filesystem::remove_all(dir);
  return 0;
}
