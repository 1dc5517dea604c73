// SIGINT and SIGTERM during a long command (backup, restore, get, put):
// the first one asks the command to stop at once; it then saves what it
// completed and ends the process with kInterrupted (exit_interrupted). A
// second one ends the process at once.
#ifndef BREVANTO_CLI_INTERRUPT_H_
#define BREVANTO_CLI_INTERRUPT_H_

// Catches both signals while it lives (with SA_RESTART, so the library's
// blocking socket calls are not cut short), and restores the previous
// handlers after.
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
};

// True once SIGINT or SIGTERM arrived under an InterruptGuard.
bool interrupted();

// Flushes stdout and stderr and ends the process with kInterrupted, without
// unwinding: transfers still in flight on other threads keep their state
// to the end, and ending the process closes their connections (the local
// service then drops the unfinished uploads).
[[noreturn]] void exit_interrupted();
// The same with another exit code.
[[noreturn]] void exit_at_once(int code);

#endif  // BREVANTO_CLI_INTERRUPT_H_
