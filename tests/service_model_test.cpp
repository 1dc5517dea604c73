// The store of brevanto-service against a model (tests/store_model_run.h):
// the model's own rule on changes of known timing, then a run.
//
// Seeded: BREVANTO_MODEL_SEED replays a run's plan (the threads' timing
// differs), BREVANTO_MODEL_STEPS sets the number of rounds (default: as many
// as fit in BREVANTO_MODEL_SECONDS, 75).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/store_model.h"
#include "tests/store_model_run.h"

namespace {

using namespace store_model;

std::uint64_t env_number(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The model's own rule, on changes whose timing is known: what may a path
// hold after them?
struct ModelCase {
  const char* label;
  std::vector<Change> changes;
  const char* path;
  std::set<int> expected;
};

TEST(StoreModel, CandidatesFollowAnsweredChangesAndTheirOrder) {
  using K = ChangeKind;
  using O = Outcome;
  const ModelCase cases[] = {
      {"one success", {{K::kAddFile, "f0", 5, 1, 2, O::kSuccess}}, "f0", {5}},
      {"refused", {{K::kAddFile, "f0", 5, 1, 2, O::kRefused}}, "f0", {kAbsent}},
      {"no reply", {{K::kAddFile, "f0", 5, 1, kNever, O::kUnanswered}}, "f0", {kAbsent, 5}},
      {"one after the other",
       {{K::kAddFile, "f0", 5, 1, 2, O::kSuccess}, {K::kUpdateFile, "f0", 6, 3, 4, O::kSuccess}},
       "f0", {6}},
      {"side by side",
       {{K::kAddFile, "f0", 5, 1, 3, O::kSuccess}, {K::kRemove, "f0", -1, 2, 4, O::kSuccess}},
       "f0", {5, kAbsent}},
      {"a later change without a reply",
       {{K::kAddFile, "f0", 5, 1, 2, O::kSuccess}, {K::kRemove, "f0", -1, 3, kNever, O::kPending}},
       "f0", {5, kAbsent}},
      {"the folder removed after",
       {{K::kAddFile, "d0\\e\\f0", 5, 1, 2, O::kSuccess},
        {K::kRemove, "d0", -1, 3, 4, O::kSuccess}},
       "d0\\e\\f0", {kAbsent}},
      {"an upload makes its folders",
       {{K::kAddFile, "d0\\e\\f0", 5, 1, 2, O::kSuccess}}, "d0\\e", {kDirectory}},
      {"an update makes none",
       {{K::kUpdateFile, "d0\\f0", 5, 1, 2, O::kSuccess}}, "d0", {kAbsent}},
  };
  for (const ModelCase& c : cases) {
    TreeModel model({"f0", "d0\\f0", "d0\\e\\f0"}, {"d0", "d0\\e"});
    for (const Change& change : c.changes) {
      const std::size_t n = model.send(change.kind, change.path, change.content, change.sent);
      if (change.outcome != Outcome::kPending) model.answer(n, change.outcome, change.answered);
    }
    EXPECT_EQ(model.candidates(c.path), c.expected) << c.label;
  }
}

// A point shows one moment: after \\f0 then \\d0\\f0 were stored, one
// after the other, no moment has the second without the first.
TEST(StoreModel, APointShowsOneMoment) {
  TreeModel model({"f0", "d0\\f0"}, {"d0"});
  model.answer(model.send(ChangeKind::kAddFile, "f0", 5, 1), Outcome::kSuccess, 2);
  model.answer(model.send(ChangeKind::kAddFile, "d0\\f0", 6, 3), Outcome::kSuccess, 4);
  EXPECT_TRUE(model.shown_at_some_moment({}));
  EXPECT_TRUE(model.shown_at_some_moment({{"f0", 5}}));
  EXPECT_TRUE(model.shown_at_some_moment({{"f0", kSomeFile}, {"d0", kDirectory},
                                          {"d0\\f0", 6}}));
  EXPECT_FALSE(model.shown_at_some_moment({{"d0", kDirectory}, {"d0\\f0", 6}}));
  EXPECT_FALSE(model.shown_at_some_moment({{"f0", 6}}));
}

TEST(ServiceModel, EveryAnsweredChangeHoldsThroughKillsAndClockJumps) {
  const std::uint64_t seed = env_number("BREVANTO_MODEL_SEED", std::random_device()());
  const std::uint64_t steps = env_number("BREVANTO_MODEL_STEPS", 0);
  const double seconds = static_cast<double>(env_number("BREVANTO_MODEL_SECONDS", 75));
  std::printf("seed %llu (replay with BREVANTO_MODEL_SEED=%llu)\n",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
  std::srand(static_cast<unsigned>(seed));
  ModelRun run(seed);
  ASSERT_TRUE(run.set_up()) << run.problems().front();
  const double start = now();
  int rounds = 0;
  while (steps > 0 ? rounds < static_cast<int>(steps) : now() - start < seconds) {
    run.round(++rounds);
    if (!run.problems().empty()) break;
  }
  run.finish();
  std::printf("%d rounds, %d kills, %d points checked, %d made by the checker found, %d not "
              "found after the clock went back, %.0f s\n",
              rounds, run.rounds_killed(), run.points_seen(), run.newest_found(),
              run.missing_after_clock_back(), now() - start);
  std::string text;
  for (std::size_t i = 0; i < run.problems().size() && i < 40; ++i) {
    text += run.problems()[i] + "\n";
  }
  if (!run.problems().empty()) {
    const std::string kept = "/tmp/brevanto-model-" + std::to_string(seed) + ".log";
    write_file(kept, run.log());
    text += "seed " + std::to_string(seed) + "; the service's log is kept in " + kept;
  }
  EXPECT_TRUE(run.problems().empty()) << text;
}

}  // namespace
