// Ctrl-C while a transfer is in flight: the library cannot cut it short, so
// the program stops without it, at once, with exit 130 and never a success.
// The scripted service holds the transfer's reply until the program ended.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "tests/cli_support/cli_runner.h"

namespace {

const char kPathNotFound[] = "<ACK Result=\"failed\" errcode=\"3\" errtext=\"not found\"/>";
const char kProgress[] = "<RPT TotalBytes=\"5\" CompleteBytes=\"1\"/>";

// Holds every reply to a request that starts with `held` until released.
class Hold {
 public:
  explicit Hold(std::string held) : held_(std::move(held)) {}
  void pace(const FakeService& service) {
    const std::vector<std::string> requests = service.requests();
    if (requests.empty() || requests.back().rfind(held_, 0) != 0) return;
    std::unique_lock<std::mutex> lock(mutex_);
    reached_ = true;
    released_signal_.wait(lock, [this] { return released_; });
  }
  bool reached() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reached_;
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    released_signal_.notify_all();
  }

 private:
  const std::string held_;
  std::mutex mutex_;
  std::condition_variable released_signal_;
  bool reached_ = false;
  bool released_ = false;
};

struct Case {
  std::vector<std::string> args;
  std::vector<std::string> replies;  // after the login and its session check
                                     // (and how a backup starts)
  std::string held;                  // the request in flight at the interrupt
  std::string out;                   // printed on the way out
};

TEST(CliInterrupt, StopsWithTheTransferInFlight) {
  const std::vector<Case> cases = {
      {{"put", "tree/a.txt", "\\a.txt"}, {}, "<AddFile PathName=\"\\a.txt\"", "put: interrupted\n"},
      {{"get", "\\a.txt", "out.txt"}, {kPathNotFound}, "<DownloadFile PathName=\"\\a.txt\"",
       "get: interrupted\n"},
      // The probe of the local root, the lock, the listing; then a.txt is sent.
      {{"backup", "--transfers", "1", "tree", "\\bk"}, {kSuccess},
       "<AddFile PathName=\"\\bk\\a.txt\"", "backup: interrupted; 0 files sent, the others not\n"},
  };
  for (const Case& c : cases) {
    const TempDir temp;
    write_file(temp.path() + "/tree/a.txt", "hello");
    Hold hold(c.held);
    {
      auto service = claim_service_port();
      service->then({kLoggedIn});
      service->then({kSuccess});
      if (c.args[0] == "backup") then_backup_starts(*service);
      for (const std::string& reply : c.replies) service->then({reply});
      service->then({kProgress, kSuccess});
      FakeService* raw = service.get();
      service->set_pacing([&hold, raw](std::size_t) { hold.pace(*raw); });
      const CliResult result = run_cli_interrupted_when(
          c.args, temp.path(), {{"BREVANTO_PASSWORD", "pw"}},
          [&hold](const CliResult&) { return hold.reached(); });
      hold.release();
      EXPECT_EQ(result.exit_code, 130) << c.args[0] << result.err;
      EXPECT_NE(result.out.find(c.out), std::string::npos) << c.args[0] << result.out;
      EXPECT_EQ(result.out.find(" 0 failed"), std::string::npos) << result.out;
    }
  }
}

}  // namespace
