// The process-wide stop request: SIGINT and SIGTERM set it, and a pipe that
// becomes readable (and stays so) lets blocked poll() calls see it.
#ifndef BREVANTO_SERVICE_NET_STOP_SIGNAL_H_
#define BREVANTO_SERVICE_NET_STOP_SIGNAL_H_

// Creates the pipe, installs the SIGINT/SIGTERM handlers and ignores
// SIGPIPE. Call once, before any thread starts. False when the pipe fails.
bool install_stop_handlers();

// Requests a stop, as the signals do. Async-signal-safe.
void request_stop();

bool stop_requested();

// Readable once a stop is requested; -1 before install_stop_handlers().
int stop_fd();

#endif  // BREVANTO_SERVICE_NET_STOP_SIGNAL_H_
