// Runs numbered jobs on several clients at once: each thread has a Session
// (a CBrevanto) of its own, as the library allows one client per thread.
#ifndef BREVANTO_CLI_PARALLEL_SESSIONS_H_
#define BREVANTO_CLI_PARALLEL_SESSIONS_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "cli/remote/session.h"

// A job tells whether the run may go on.
enum class JobOutcome { kContinue, kStopAll };

// How a run ended: every job done; stopped by a job (kStopAll), after the
// jobs in flight; or interrupted (SIGINT, SIGTERM) with jobs still in
// flight.
enum class RunEnd { kFinished, kStopped, kInterrupted };

// Runs `job(session, index, slot)` once for every index below `count`, in
// order of index, on up to `transfers` threads, while the calling thread
// waits. Slot 0 uses `first` (logged in); the others log in with
// first.another(), and a thread whose login fails is left out. No new job
// starts after one returned kStopAll or once `interrupted()` is true.
//
// The library cannot cut a transfer short, so on an interrupt this returns
// kInterrupted at once (within a tenth of a second) and leaves the jobs in
// flight running, `first` among their clients: the caller then uses only
// a new client, and ends the process (exit_interrupted) without unwinding
// what the jobs use.
//
// The other clients log out when the run ends, unless `keep` is given: then
// they are moved there, still logged in, for the caller to close. (The
// local service makes a point of its history when a client that changed the
// tree logs out; a backup keeps its clients until its manifest is stored,
// so that no point shows its new files beside the last backup's manifest.)
RunEnd run_in_parallel(Session& first, std::size_t transfers, std::size_t count,
                       const std::function<JobOutcome(Session&, std::size_t, std::size_t)>& job,
                       std::vector<std::unique_ptr<Session>>* keep = nullptr);

#endif  // BREVANTO_CLI_PARALLEL_SESSIONS_H_
