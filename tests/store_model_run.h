// The store's model-based test, one run of it: clients of several Linux
// uids change overlapping paths of three trees (two accounts, one of them
// with two projects) with a small pool of contents, large and small, and
// download current files and points of `\.history`, while the service is
// killed with SIGKILL at random moments and restarted with other retention
// options, and its wall clock jumps (libfaketime, whole days forward and
// back, at restarts and while it serves). After each round, with nothing
// running, every tree must be one the model allows (store_model.h); each
// point made during the round must show the tree of one moment of it; the
// point made by the checker's logout must show the tree exactly, and keep
// showing it while it is kept; every point's files must be whole versions
// that were sent and not refused; `brevanto-service check` must pass after
// every kill and at the end.
//
// As root, the clients are threads whose sockets and file access belong to
// uids 1601 to 1603 (setfsuid); otherwise all run as the caller. The
// service listens on 127.0.0.1:11001.
//
// The store is a storage root's own (SQLite catalog, contents in files)
// unless BREVANTO_TEST_PG names a PostgreSQL database for the catalog
// (--catalog) or BREVANTO_TEST_CONTENTS a RADOS pool for the contents
// (--contents); both must be empty of this run's accounts at its start.
#ifndef BREVANTO_TESTS_STORE_MODEL_RUN_H_
#define BREVANTO_TESTS_STORE_MODEL_RUN_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/service_test_files.h"
#include "tests/service_test_process.h"
#include "tests/store_model.h"
#include "tests/store_model_session.h"

namespace store_model {

// One tree: an account's project, the uids that may use it, its model, and
// the points made by the checker's logouts with the tree each must show.
struct Tree {
  std::string user, password, project;
  std::vector<uid_t> uids;
  TreeModel model{{"f0", "f1", "d0\\f0", "d0\\f1", "d0\\e\\f0", "d1\\f0"},
                  {"d0", "d0\\e", "d1"}};
  std::string marker;  // the folder the checker's last logout left, "m<N>"
  std::map<std::string, Snapshot> marked_points;
  std::set<std::string> known_points;  // every point name listed at a check
};

// A run of the model test: the service, its clients and the checker. The
// plan (rounds, kills, clock jumps, the clients' streams) comes from the
// seed.
class ModelRun {
 public:
  explicit ModelRun(std::uint64_t seed) : seed_(seed), plan_(seed) {}
  ~ModelRun();

  bool set_up();
  void round(int number);
  void finish();
  const std::vector<std::string>& problems() const { return problems_; }
  int rounds_killed() const { return kills_; }
  int points_seen() const { return points_seen_; }
  int missing_after_clock_back() const { return missing_after_clock_back_; }
  int newest_found() const { return newest_found_; }
  std::string log() const { return read_file(dir_.path() + "/service.log"); }

 private:
  struct Client {
    int index;
    uid_t uid;
    std::string folder;  // downloads land here
  };

  void problem(const std::string& text);
  void client_loop(const Client& client, std::uint64_t seed);
  bool client_step(ModelSession& session, Tree& tree, const Client& client, std::mt19937_64& r);
  bool client_change(ModelSession& session, Tree& tree, ChangeKind kind, const std::string& path,
                     int content);
  void client_download(ModelSession& session, Tree& tree, const Client& client,
                       const std::string& path, const std::string& model_path);
  void client_point_download(ModelSession& session, Tree& tree, const Client& client,
                             std::mt19937_64& r);

  int content_of(const std::string& local);
  bool add_content(std::size_t size, unsigned pattern);
  void add_fresh_content();
  int stored_state(ModelSession& session, const std::string& path, const std::string& target);
  bool start_service();
  void stop_service(int sig);
  void run_check(const std::string& when);
  void jump_clock(bool serving);
  void check_trees(int number);
  void check_points(Tree& tree, int number, const Snapshot& made);
  bool point_listed(ModelSession& session, const std::string& name);
  void explain_lost_contents(const Tree& tree, const Snapshot& seen);
  void check_new_points(ModelSession& session, Tree& tree, const std::string& where);

  std::uint64_t seed_;
  std::mt19937_64 plan_;
  TempDir dir_;
  std::string root_, local_, checker_folder_;
  bool as_root_ = false;
  // Every content of the pool by size and hash of its bytes (their files
  // are src/c<N>); the fresh ones come one by one during the rounds.
  std::map<std::pair<std::size_t, std::size_t>, int> contents_;
  int content_count_ = 0;
  std::atomic<int> fresh_{4};
  std::vector<Tree> trees_;
  std::vector<Client> clients_;
  std::unique_ptr<ServiceProcess> service_;

  std::mutex mutex_;  // the models and problems_, shared with the clients
  std::vector<std::string> problems_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> killing_{false};

  // The clock: the offset (whole days) the service reads from a file.
  bool fake_clock_ = false;
  std::string clock_file_;
  std::set<long> used_days_;
  long offset_days_ = 0;
  long highest_days_ = 0;
  double offset_written_ = -10;  // steady time of the last write while serving

  int kills_ = 0;
  int points_seen_ = 0;
  int missing_after_clock_back_ = 0;
  int newest_found_ = 0;
  double last_marker_logout_ = 0;  // wall time
  double phase_start_ = 0;
};

}  // namespace store_model

#endif  // BREVANTO_TESTS_STORE_MODEL_RUN_H_
