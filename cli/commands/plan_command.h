// plan: the space the account uses and may use, and for the cloud back end
// its upgrade to the next plan. Returns an exit code (exit_codes.h) and
// prints its failures to stderr.
#ifndef BREVANTO_CLI_PLAN_COMMAND_H_
#define BREVANTO_CLI_PLAN_COMMAND_H_

#include "cli/remote/session.h"

// Cloud back end: the card state, the used, allowed and free bytes; with
// `upgrade`, first the card is checked (a missing or expired card refuses
// the upgrade, exit 1) and the account moved to the next plan, then the
// figures are those of the new plan. Local service back end: the figures
// the library reports for the account (exit 1 when it reports none, as df),
// with a notice that plans belong to the cloud back end; `upgrade` is
// refused there before logging in (exit 1).
int run_plan(Session& session, bool upgrade);

#endif  // BREVANTO_CLI_PLAN_COMMAND_H_
