// Progress reports of one transfer, <RPT TotalBytes=".." CompleteBytes=".."/>,
// sent at least after every 1 MiB and at least every 200 ms while bytes
// move. Each call also checks that the transfer may go on.
#ifndef BREVANTO_SERVICE_PROGRESS_REPORTER_H_
#define BREVANTO_SERVICE_PROGRESS_REPORTER_H_

#include <chrono>
#include <cstdint>
#include <string>

class ProgressReporter {
 public:
  static constexpr std::uint64_t kReportBytes = 1 << 20;
  static constexpr std::chrono::milliseconds kReportInterval{200};

  ProgressReporter(int sock, std::uint64_t total);

  // Notes that `complete` bytes are done and reports when due. Throws
  // ClientGone when a report is due and the client has closed the
  // connection, and ServiceError(kInternal) when the service is stopping.
  void advance(std::uint64_t complete);

  // Reports `complete` bytes done, whether due or not. A transfer of less
  // than kReportBytes ends quickly, so its report is returned to go out in
  // one send with the final reply (which saves the client a wake-up per
  // small file); otherwise it is sent now and "" returned.
  std::string finish(std::uint64_t complete);

 private:
  void report(std::uint64_t complete);

  int sock_;
  std::uint64_t total_;
  std::uint64_t reported_ = 0;
  std::chrono::steady_clock::time_point reported_at_;
};

#endif  // BREVANTO_SERVICE_PROGRESS_REPORTER_H_
