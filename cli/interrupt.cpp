#include "cli/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "cli/exit_codes.h"
#include "cli/local/scratch_folder.h"

namespace {

std::atomic<bool> g_interrupted{false};
struct sigaction g_previous_int;
struct sigaction g_previous_term;

void on_signal(int) {
  if (g_interrupted.exchange(true)) {  // the second one: no more waiting
    static const char kText[] = "\nbrevanto: interrupted again; stopping at once\n";
    const ssize_t ignored = write(STDERR_FILENO, kText, sizeof(kText) - 1);
    (void)ignored;
    _exit(exit_codes::kInterrupted);
  }
}

}  // namespace

InterruptGuard::InterruptGuard() {
  struct sigaction action {};
  action.sa_handler = on_signal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &g_previous_int);
  sigaction(SIGTERM, &action, &g_previous_term);
}

InterruptGuard::~InterruptGuard() {
  sigaction(SIGINT, &g_previous_int, nullptr);
  sigaction(SIGTERM, &g_previous_term, nullptr);
}

bool interrupted() { return g_interrupted.load(); }

void exit_interrupted() { exit_at_once(exit_codes::kInterrupted); }

void exit_at_once(int code) {
  remove_private_scratch_folders();
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(code);
}
