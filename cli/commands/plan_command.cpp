#include "cli/commands/plan_command.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/exit_codes.h"
#include "cli/output/json_text.h"
#include "cli/output/output.h"
#include "cli/output/units.h"

namespace {

// get_creditcard_state() of the cloud back end after a login; a negative
// value is the library's failure.
constexpr int kCardValid = 0;
constexpr int kCardNone = 1;
constexpr int kCardExpired = 2;

const char kLocalQuotas[] =
    "plans belong to the cloud back end (--backend cloud); the local service keeps a quota per "
    "account, set by its administrator (brevanto-service --add-user NAME --quota-bytes SIZE) "
    "and shown by brevanto-service stats";

// The figures of get_spaceinfo; -1 where the back end told nothing.
struct Space {
  std::int64_t used = -1;
  std::int64_t free = -1;

  bool known() const { return used >= 0 || free >= 0; }
  // The plan's (or quota's) bytes: the library reports used and free only.
  std::int64_t allowed() const { return used >= 0 && free >= 0 ? used + free : -1; }
};

int read_space(Session& session, Space& space) {
  space = Space();
  return session.client().get_spaceinfo(space.used, space.free, 1 | 2);
}

std::string card_text(int state) {
  switch (state) {
    case kCardValid: return "valid";
    case kCardNone: return "none";
    case kCardExpired: return "expired";
    default: return "unknown (" + std::to_string(state) + ")";
  }
}

std::string json_figure(std::int64_t bytes) {
  return bytes < 0 ? std::string("null") : std::to_string(bytes);
}

std::string amount(std::int64_t bytes) {
  return bytes < 0 ? std::string("not available")
                   : std::to_string(bytes) + " bytes (" +
                         human_bytes(static_cast<std::uint64_t>(bytes)) + ")";
}

std::string short_amount(std::int64_t bytes) {
  return bytes < 0 ? std::string("?") : human_bytes(static_cast<std::uint64_t>(bytes));
}

// The figures as lines after `lead` (text), or as one object after the
// members of `lead_json`.
void print_space(const Space& space, const std::string& lead, const JsonObject& lead_json) {
  if (json_output()) {
    print_json(JsonObject()
                   .append(lead_json)
                   .raw("used", json_figure(space.used))
                   .raw("allowed", json_figure(space.allowed()))
                   .raw("free", json_figure(space.free)));
    return;
  }
  std::printf("%sused:    %s\nallowed: %s\nfree:    %s\n", lead.c_str(), amount(space.used).c_str(),
              amount(space.allowed()).c_str(), amount(space.free).c_str());
}

int run_local(Session& session) {
  if (const int rc = session.open()) return rc;
  Space space;
  if (const int status = read_space(session, space)) return session.fail("plan", status);
  if (!space.known()) {
    // The local service protocol has no space request: the library tells
    // nothing, as for df.
    print_error(std::string("plan: the local service reports no space figures; ") + kLocalQuotas);
    return exit_codes::kFailed;
  }
  print_space(space, "", JsonObject().string("backend", "local"));
  print_notice(std::string("plan: ") + kLocalQuotas);
  return exit_codes::kOk;
}

int run_cloud(Session& session, bool upgrade) {
  if (const int rc = session.open()) return rc;
  const char* const what = upgrade ? "plan --upgrade" : "plan";
  const int card = session.client().get_creditcard_state();
  if (card < 0) return session.fail(std::string(what) + ": card state", card);
  Space before;
  if (const int status = read_space(session, before)) return session.fail(what, status);
  JsonObject lead;
  lead.string("backend", "cloud").string("card", card_text(card));
  if (!upgrade) {
    print_space(before, "card:    " + card_text(card) + "\n", lead.boolean("upgraded", false));
    return exit_codes::kOk;
  }
  if (card != kCardValid) {
    const std::string why = card == kCardNone    ? "no payment card is on file"
                            : card == kCardExpired ? "the payment card on file has expired"
                                                   : "the payment card is " + card_text(card);
    print_error("plan --upgrade: " + why + "; the plan was not changed",
                JsonObject().string("card", card_text(card)));
    return exit_codes::kFailed;
  }
  if (const int status = session.client().update_plan()) return session.fail(what, status);
  Space after;
  if (const int status = read_space(session, after)) return session.fail(what, status);
  print_space(after,
              "card:    valid\nupgraded: the plan allows " + short_amount(after.allowed()) +
                  " (was " + short_amount(before.allowed()) + ")\n",
              lead.boolean("upgraded", true).raw("allowed_before", json_figure(before.allowed())));
  return exit_codes::kOk;
}

}  // namespace

int run_plan(Session& session, bool upgrade) {
  if (session.cloud()) return run_cloud(session, upgrade);
  if (upgrade) {
    print_error(std::string("plan --upgrade: ") + kLocalQuotas);
    return exit_codes::kFailed;
  }
  return run_local(session);
}
