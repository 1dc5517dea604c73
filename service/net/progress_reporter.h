// Progress reports of one transfer, <RPT TotalBytes=".." CompleteBytes=".."/>,
// due after every 1 MiB and every 200 ms while bytes move. Each goes out
// in a send of its own through the session's ReplySender and never waits:
// while the client has not yet read the report before, a due report is
// left out and the next due one carries the latest counts (in practice at
// the next chunk copied). A transfer that ends before its first report is
// due sends none: its final reply says it all. One that sent a report ends
// with a report of all bytes done, so that a progress bar reaches its end;
// the final reply then waits for the client to read it. Each call also
// checks that the transfer may go on.
#ifndef BREVANTO_SERVICE_NET_PROGRESS_REPORTER_H_
#define BREVANTO_SERVICE_NET_PROGRESS_REPORTER_H_

#include <chrono>
#include <cstdint>

class ReplySender;

class ProgressReporter {
 public:
  static constexpr std::uint64_t kReportBytes = 1 << 20;
  static constexpr std::chrono::milliseconds kReportInterval{200};

  ProgressReporter(ReplySender& replies, std::uint64_t total);

  // Notes that `complete` bytes are done and reports when due and the
  // client has read the report before. Throws ClientGone when a report is
  // due and the client has closed the connection, and
  // ServiceError(kInternal) when the service is stopping.
  void advance(std::uint64_t complete);

  // Ends the reports before the final reply: after any report, one with
  // all `complete` bytes done, unless the last one said so already.
  // Throws ClientGone.
  void finish(std::uint64_t complete);

 private:
  void report(std::uint64_t complete);

  ReplySender& replies_;
  std::uint64_t total_;
  std::uint64_t reported_ = 0;
  bool any_reported_ = false;
  std::chrono::steady_clock::time_point reported_at_;
};

#endif  // BREVANTO_SERVICE_NET_PROGRESS_REPORTER_H_
