#include "service/progress_reporter.h"

#include "service/errors.h"
#include "service/replies.h"
#include "service/socket_io.h"
#include "service/stop_signal.h"

ProgressReporter::ProgressReporter(int sock, std::uint64_t total)
    : sock_(sock), total_(total), reported_at_(std::chrono::steady_clock::now()) {}

void ProgressReporter::advance(std::uint64_t complete) {
  if (stop_requested()) throw ServiceError(kInternal, "service stopping");
  const auto now = std::chrono::steady_clock::now();
  if (complete - reported_ >= kReportBytes || now - reported_at_ >= kReportInterval) {
    // The client sends nothing during a transfer, so a hang-up is the only
    // thing the socket can show; a gone client stops the work before the
    // next report. (A small file's one chunk needs no look: its reply
    // finds out.)
    if (peer_closed(sock_)) throw ClientGone("client closed the connection mid-transfer");
    report(complete);
  }
}

std::string ProgressReporter::finish(std::uint64_t complete) {
  if (complete < kReportBytes && total_ < kReportBytes) {
    return progress_report(complete > total_ ? complete : total_, complete);
  }
  report(complete);
  return std::string();
}

void ProgressReporter::report(std::uint64_t complete) {
  if (complete > total_) total_ = complete;  // the source grew meanwhile
  send_message(sock_, progress_report(total_, complete));
  reported_ = complete;
  reported_at_ = std::chrono::steady_clock::now();
}
