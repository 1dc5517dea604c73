// Runs numbered jobs on several clients at once: each thread has a Session
// (a CBrevanto) of its own, as the library allows one client per thread.
#ifndef BREVANTO_CLI_PARALLEL_SESSIONS_H_
#define BREVANTO_CLI_PARALLEL_SESSIONS_H_

#include <cstddef>
#include <functional>

#include "cli/session.h"

// A job tells whether the run may go on.
enum class JobOutcome { kContinue, kStopAll };

// Runs `job(session, index, slot)` once for every index below `count`, in
// order of index, on up to `transfers` threads. Slot 0 is `first` (logged
// in) on the calling thread; the others log in with first.another(), and a
// thread whose login fails is left out. No new job starts after one returned
// kStopAll or once `interrupted()` is true; jobs already running finish.
// Returns true when every index was run.
bool run_in_parallel(Session& first, std::size_t transfers, std::size_t count,
                     const std::function<JobOutcome(Session&, std::size_t, std::size_t)>& job);

#endif  // BREVANTO_CLI_PARALLEL_SESSIONS_H_
