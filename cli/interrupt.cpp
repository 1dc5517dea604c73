#include "cli/interrupt.h"

#include <signal.h>

#include <atomic>

namespace {

std::atomic<bool> g_interrupted{false};
struct sigaction g_previous_int;
struct sigaction g_previous_term;

void on_signal(int) { g_interrupted.store(true); }

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
