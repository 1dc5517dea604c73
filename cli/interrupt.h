// SIGINT and SIGTERM during a long command (backup, restore): the first one
// asks the command to stop after the files in flight; the command then
// saves what it did and exits with kInterrupted.
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

#endif  // BREVANTO_CLI_INTERRUPT_H_
