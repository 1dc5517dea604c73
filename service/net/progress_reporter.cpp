#include "service/net/progress_reporter.h"

#include "service/errors.h"
#include "service/net/replies.h"
#include "service/net/reply_sender.h"
#include "service/net/socket_io.h"
#include "service/net/stop_signal.h"

ProgressReporter::ProgressReporter(ReplySender& replies, std::uint64_t total)
    : replies_(replies), total_(total), reported_at_(std::chrono::steady_clock::now()) {}

void ProgressReporter::advance(std::uint64_t complete) {
  if (stop_requested()) throw ServiceError(kInternal, "service stopping");
  const auto now = std::chrono::steady_clock::now();
  if (complete - reported_ < kReportBytes && now - reported_at_ < kReportInterval) return;
  // The client sends nothing during a transfer, so a hang-up is the only
  // thing the socket can show; a gone client stops the work before the
  // next report. (A small file's one chunk needs no look: its reply
  // finds out.)
  if (peer_closed(replies_.sock())) throw ClientGone("client closed the connection mid-transfer");
  // A report the client has not made room for yet waits for the next
  // chunk, and then carries its counts.
  if (replies_.message_out() && !replies_.client_has_read()) return;
  report(complete);
}

void ProgressReporter::finish(std::uint64_t complete) {
  if (!any_reported_ || complete == reported_) return;
  report(complete);
}

void ProgressReporter::report(std::uint64_t complete) {
  if (complete > total_) total_ = complete;  // the source grew meanwhile
  replies_.send(progress_report(total_, complete));
  any_reported_ = true;
  reported_ = complete;
  reported_at_ = std::chrono::steady_clock::now();
}
