#include "tests/store_model_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace store_model {
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

namespace {

constexpr std::uint16_t kPort = 11001;
constexpr const char* kFakeTime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The service's options for a shared store: a PostgreSQL catalog and RADOS
// contents, when the environment names them.
std::vector<std::string> store_options() {
  std::vector<std::string> options;
  const char* catalog = std::getenv("BREVANTO_TEST_PG");
  if (catalog != nullptr && *catalog != '\0') options.insert(options.end(), {"--catalog", catalog});
  const char* contents = std::getenv("BREVANTO_TEST_CONTENTS");
  if (contents != nullptr && *contents != '\0') {
    options.insert(options.end(), {"--contents", contents});
  }
  return options;
}

double wall_now() {
  timeval tv;
  ::gettimeofday(&tv, nullptr);
  return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6;
}

}  // namespace

ModelRun::~ModelRun() {
  if (service_) service_->stop(SIGKILL);
  unsetenv("LD_PRELOAD");
}

void ModelRun::problem(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  problems_.push_back(text);
}

bool ModelRun::set_up() {
  as_root_ = ::geteuid() == 0;
  ::chmod(dir_.path().c_str(), 0755);
  root_ = dir_.path() + "/root";
  local_ = dir_.make_dir("local");
  const std::string sources = local_ + "/src";
  ::mkdir(sources.c_str(), 0755);
  // Small ones (a row of the catalog up to 64 KiB) and large ones (files of
  // their own), each at a local file every client may read.
  const std::size_t sizes[] = {0, 100, 64 << 10, (64 << 10) + 1,
                               3 << 20, (3 << 20) + 17, (3 << 20) + 4096, 4 << 20};
  for (std::size_t i = 0; i < sizeof(sizes) / sizeof(sizes[0]); ++i) {
    if (!add_content(sizes[i], static_cast<unsigned>(i + 1))) return false;
  }
  checker_folder_ = local_ + "/check";
  ::mkdir(checker_folder_.c_str(), 0700);

  const uid_t me = ::geteuid();
  const uid_t ann = as_root_ ? 1601 : me, bob = as_root_ ? 1602 : me, cat = as_root_ ? 1603 : me;
  trees_.resize(3);
  trees_[0].user = trees_[1].user = "pat";
  trees_[0].password = trees_[1].password = "pat-pw";
  trees_[1].project = "two";
  trees_[0].uids = trees_[1].uids = {ann, bob};
  trees_[2].user = "quin";
  trees_[2].password = "quin-pw";
  trees_[2].uids = {bob, cat};
  const uid_t client_uids[] = {ann, ann, bob, bob, cat};
  for (int i = 0; i < 5; ++i) {
    const std::string folder = local_ + "/c" + std::to_string(i);
    ::mkdir(folder.c_str(), 0700);
    if (as_root_ && ::chown(folder.c_str(), client_uids[i], client_uids[i]) != 0) return false;
    clients_.push_back(Client{i, client_uids[i], folder});
  }

  // libfaketime is preloaded into the service; a service built with
  // AddressSanitizer must have the sanitizer's runtime first, so there the
  // clock stays real.
  fake_clock_ = ::access(kFakeTime, R_OK) == 0 && !kSanitized;
  if (fake_clock_) {
    clock_file_ = dir_.path() + "/faketime";
    setenv("FAKETIME_TIMESTAMP_FILE", clock_file_.c_str(), 1);
    // Read at every look at the clock, so that a jump takes effect at once.
    setenv("FAKETIME_NO_CACHE", "1", 1);
    // A wall clock that jumps: the monotonic clock and files' times do not.
    setenv("FAKETIME_DONT_FAKE_MONOTONIC", "1", 1);
    setenv("NO_FAKE_STAT", "1", 1);
    jump_clock(false);
    setenv("LD_PRELOAD", kFakeTime, 1);
  }
  for (int t = 0; t < 3; t += 2) {
    std::vector<std::string> argv = {BREVANTO_SERVICE_PATH, "--root", root_, "--add-user",
                                     trees_[t].user};
    for (const std::string& option : store_options()) argv.push_back(option);
    if (as_root_) {
      for (const uid_t uid : trees_[t].uids) {
        argv.push_back("--allow-uid");
        argv.push_back(std::to_string(uid));
      }
      argv.push_back("--allow-uid");
      argv.push_back("0");  // the checker
    }
    std::string output;
    if (run_program(argv, trees_[t].password + "\n", &output, true) != 0) {
      problem("--add-user " + trees_[t].user + " failed: " + output);
      return false;
    }
  }
  return start_service();
}

void ModelRun::jump_clock(bool serving) {
  if (!fake_clock_) return;
  // Whole days never used before: no point name can come twice, since a run
  // lasts less than a day.
  // Half of them forward past every day used, so that the points made then
  // must be kept as the newest; the others back, up to three years.
  long days = 0;
  const bool forward = used_days_.empty() || plan_() % 2 == 0;
  do {
    days = forward ? highest_days_ + 1 + static_cast<long>(plan_() % 30)
                   : highest_days_ - 1 - static_cast<long>(plan_() % 1000);
  } while (used_days_.count(days) != 0);
  used_days_.insert(days);
  if (used_days_.size() == 1 || days > highest_days_) highest_days_ = days;
  offset_days_ = days;
  write_file(clock_file_ + ".new", (days < 0 ? "" : "+") + std::to_string(days) + "d\n");
  std::rename((clock_file_ + ".new").c_str(), clock_file_.c_str());
  if (serving) offset_written_ = now();
}

bool ModelRun::start_service() {
  auto pick = [&](std::vector<const char*> values) { return values[plan_() % values.size()]; };
  std::vector<std::string> options = {
      "--keep-last",    pick({"1", "2", "3"}), "--keep-daily",   pick({"0", "1", "3"}),
      "--keep-weekly",  pick({"0", "0", "2"}), "--keep-monthly", "0",
      "--keep-within",  pick({"0", "0", "1d"})};
  for (const std::string& option : store_options()) options.push_back(option);
  service_ = std::make_unique<ServiceProcess>(root_, std::vector<std::string>{local_},
                                              dir_.path() + "/service.log", options);
  if (!service_->start(kPort)) {
    problem("the service did not start; its log:\n" + service_->log());
    return false;
  }
  return true;
}

void ModelRun::stop_service(int sig) {
  const int status = service_->stop(sig);
  if (sig == SIGTERM && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
    problem("the service did not stop cleanly on SIGTERM (status " + std::to_string(status) + ")");
  }
}

void ModelRun::run_check(const std::string& when) {
  std::string output;
  std::vector<std::string> argv = {BREVANTO_SERVICE_PATH, "--root", root_};
  for (const std::string& option : store_options()) argv.push_back(option);
  argv.push_back("check");
  const int code = run_program(argv, "", &output, true);
  if (code != 0) problem("check " + when + " exited with " + std::to_string(code) + ":\n" + output);
}

bool ModelRun::add_content(std::size_t size, unsigned pattern) {
  const std::string bytes = pattern_bytes(size, pattern);
  const std::string path = local_ + "/src/c" + std::to_string(content_count_);
  if (!write_file(path, bytes) || ::chmod(path.c_str(), 0644) != 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  contents_[{bytes.size(), std::hash<std::string>()(bytes)}] = content_count_++;
  return true;
}

// A large content the store has never seen: the first uploads of it, side
// by side, each place it, and one may be refused at its commit.
void ModelRun::add_fresh_content() {
  if (!add_content((3u << 20) + plan_() % 8192, static_cast<unsigned>(plan_()))) {
    problem("could not write a local source file");
    return;
  }
  fresh_ = content_count_ - 1;
  // A client may still be about to send the one before; older ones go.
  const int old = content_count_ - 4;
  if (old >= 8) std::remove((local_ + "/src/c" + std::to_string(old)).c_str());
}

int ModelRun::content_of(const std::string& local) {
  bool ok = false;
  const std::string bytes = read_file(local, &ok);
  if (!ok) return kUnknownBytes;
  const std::pair<std::size_t, std::size_t> key = {bytes.size(), std::hash<std::string>()(bytes)};
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = contents_.find(key);
  return it == contents_.end() ? kUnknownBytes : it->second;
}

// ---- clients ---------------------------------------------------------------

void ModelRun::client_loop(const Client& client, std::uint64_t seed) {
  // From here on this thread's sockets and local files are the client uid's.
  if (as_root_) {
    ::setfsgid(client.uid);
    ::setfsuid(client.uid);
  }
  std::mt19937_64 r(seed);
  while (!stopping_) {
    std::vector<Tree*> mine;
    for (Tree& t : trees_) {
      for (const uid_t uid : t.uids) {
        if (uid == client.uid) mine.push_back(&t);
      }
    }
    // The default tree of pat is where most clients meet.
    Tree& tree = *(r() % 3 != 0 ? mine.front() : mine[r() % mine.size()]);
    ModelSession session(kPort);
    if (!session.connected() || !session.login(tree.user, tree.password, tree.project)) {
      if (!killing_) problem("client " + std::to_string(client.index) + ": login refused");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    bool alive = true;
    for (int steps = 1 + static_cast<int>(r() % 8); alive && steps > 0 && !stopping_; --steps) {
      alive = client_step(session, tree, client, r);
    }
    if (!alive) continue;
    // Most connections log out; some just go, which ends them too.
    if (r() % 7 == 0) {
      session.close();
    } else if (!session.logout().replied && !killing_) {
      problem("logout without a reply");
    }
  }
}

bool ModelRun::client_step(ModelSession& session, Tree& tree, const Client& client,
                           std::mt19937_64& r) {
  const std::vector<std::string>& files = tree.model.files();
  const std::vector<std::string>& folders = tree.model.folders();
  // Half the time one of two hot paths, so that changes of one path meet.
  const std::string file = r() % 2 ? files[r() % 2 == 0 ? 0 : 2] : files[r() % files.size()];
  // More than half large (files of their own, placed and deleted), most of
  // those the freshest, which several clients then upload side by side.
  const unsigned pick = static_cast<unsigned>(r() % 10);
  const int content = pick < 5 ? fresh_.load() : static_cast<int>(pick < 7 ? 4 + r() % 4 : r() % 4);
  const unsigned dice = static_cast<unsigned>(r() % 100);
  if (dice < 25) return client_change(session, tree, ChangeKind::kAddFile, file, content);
  if (dice < 55) return client_change(session, tree, ChangeKind::kUpdateFile, file, content);
  if (dice < 73) return client_change(session, tree, ChangeKind::kRemove, file, -1);
  if (dice < 77) {
    return client_change(session, tree, ChangeKind::kRemove, folders[r() % folders.size()], -1);
  }
  if (dice < 80) {
    return client_change(session, tree, ChangeKind::kAddDir, folders[r() % folders.size()], -1);
  }
  if (dice < 92) {
    client_download(session, tree, client, file, file);
  } else {
    client_point_download(session, tree, client, r);
  }
  return session.connected();
}

bool ModelRun::client_change(ModelSession& session, Tree& tree, ChangeKind kind,
                             const std::string& path, int content) {
  std::size_t number = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    number = tree.model.send(kind, path, content, now());
  }
  const std::string local = local_ + "/src/c" + std::to_string(content);
  const char* const names[] = {"AddFile", "UpdateFile", "RemoveFile", "AddDir"};
  const char* name = names[static_cast<int>(kind)];
  Answer a;
  std::set<int> allowed = {0};  // and the refusals a race may bring
  if (kind == ChangeKind::kAddFile) {
    a = session.add_file(path, local);
    allowed.insert(4);
  } else if (kind == ChangeKind::kUpdateFile) {
    a = session.update_file(path, local);
    allowed.insert(3);
  } else if (kind == ChangeKind::kRemove) {
    a = session.remove(path);
    allowed.insert(3);
  } else {
    a = session.add_dir(path);
  }
  const std::string what = std::string(name) + " \\" + path + " (" + tree.user + "/" +
                           tree.project + (content >= 0 ? ", content " + std::to_string(content)
                                                        : std::string()) + ")";
  if (!a.replied) {
    if (!killing_) problem(what + ": no reply, and the service was not killed");
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  tree.model.answer(number, a.errcode == 0 ? Outcome::kSuccess : Outcome::kRefused, now());
  if (allowed.count(a.errcode) == 0) {
    problems_.push_back(what + ": error " + std::to_string(a.errcode));
  }
  return true;
}

void ModelRun::client_download(ModelSession& session, Tree& tree, const Client& client,
                               const std::string& path, const std::string& model_path) {
  const std::string target = client.folder + "/download";
  const Answer a = session.download(path, target);
  if (!a.replied) return;
  if (!a.ok()) {
    // Not there (any more) is an answer; anything else is not.
    if (a.errcode != 3) {
      problem("DownloadFile \\" + path + " (" + tree.user + "/" + tree.project + "): error " +
              std::to_string(a.errcode));
    }
    return;
  }
  const int content = content_of(target);
  std::lock_guard<std::mutex> lock(mutex_);
  if (content < 0 || !tree.model.ever_held(model_path, content)) {
    problems_.push_back("DownloadFile \\" + path + " (" + tree.user + "/" + tree.project +
                        ") gave " + describe_state(content) + ", never sent there");
  }
}

void ModelRun::client_point_download(ModelSession& session, Tree& tree, const Client& client,
                                     std::mt19937_64& r) {
  std::vector<ListedEntry> points;
  const Answer listed = session.list(".history", false, &points);
  if (!listed.ok()) {
    if (listed.replied) problem("listing \\.history: error " + std::to_string(listed.errcode));
    return;
  }
  if (points.empty()) return;
  const std::string point = points[r() % points.size()].path;
  std::vector<ListedEntry> entries;
  const Answer a = session.list(point, true, &entries);
  if (!a.ok()) {
    if (a.replied && a.errcode != 3) {
      problem("listing \\" + point + ": error " + std::to_string(a.errcode));
    }
    return;
  }
  std::vector<std::string> files;
  for (const ListedEntry& e : entries) {
    if (!e.is_dir) files.push_back(e.path);
  }
  if (files.empty()) return;
  const std::string path = files[r() % files.size()];
  const std::string in_point = path.substr(point.size() + 1);
  if (!tree.model.knows(in_point)) {
    problem("\\" + path + ": never named by a change");
    return;
  }
  client_download(session, tree, client, path, in_point);
}

// ---- rounds ------------------------------------------------------------------

void ModelRun::round(int number) {
  stopping_ = false;
  killing_ = false;
  std::vector<std::thread> threads;
  for (const Client& c : clients_) {
    threads.emplace_back(&ModelRun::client_loop, this, c, plan_());
  }
  const double length = 0.4 + (plan_() % 1600) / 1000.0;
  const bool kill = plan_() % 2 == 0;
  const double kill_at = (plan_() % 1000) / 1000.0 * length;
  const bool jump_while_serving = plan_() % 4 == 0;
  const double jump_at = (plan_() % 1000) / 1000.0 * length;
  const double start = now();
  phase_start_ = start;
  bool jumped = false;
  double fresh_at = start;
  while (now() - start < (kill ? kill_at : length)) {
    if (now() >= fresh_at) {
      add_fresh_content();
      fresh_at = now() + 0.15 + (plan_() % 250) / 1000.0;
    }
    if (jump_while_serving && !jumped && now() - start >= jump_at) {
      jump_clock(true);
      jumped = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (kill) {
    killing_ = true;
    service_->stop(SIGKILL);
    ++kills_;
  }
  stopping_ = true;
  for (std::thread& t : threads) t.join();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Tree& t : trees_) t.model.unanswer_pending();
  }
  const bool clean_restart = !kill && plan_() % 6 == 0;
  if (clean_restart) stop_service(SIGTERM);
  if (kill || clean_restart) {
    run_check("after round " + std::to_string(number) + (kill ? " (killed)" : " (stopped)"));
    if (plan_() % 2 == 0) jump_clock(false);
    if (!start_service()) return;
  }
  check_trees(number);
}

int ModelRun::stored_state(ModelSession& session, const std::string& path,
                           const std::string& target) {
  const Answer a = session.download(path, target);
  if (!a.replied) return kUnreadable - 1000;
  if (!a.ok()) return kUnreadable - a.errcode;
  return content_of(target);
}

void ModelRun::check_trees(int number) {
  const std::string target = checker_folder_ + "/download";
  // A clock moved while the service ran: the points made here see the new
  // offset, read at the service's next look at the clock.
  while (now() - offset_written_ < 0.3) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::vector<Snapshot> made(trees_.size());
  for (std::size_t t = 0; t < trees_.size(); ++t) {
    Tree& tree = trees_[t];
    const std::string name = tree.user + "/" + tree.project;
    ModelSession session(kPort);
    if (!session.login(tree.user, tree.password, tree.project)) {
      problem("round " + std::to_string(number) + ": the checker's login to " + name + " failed");
      continue;
    }
    std::vector<ListedEntry> entries;
    const Answer listed = session.list("", true, &entries);
    if (!listed.ok()) {
      problem("round " + std::to_string(number) + ": listing " + name + ": error " +
              std::to_string(listed.errcode));
      continue;
    }
    Snapshot seen;
    std::vector<std::string> markers;
    for (const ListedEntry& e : entries) {
      if (e.path == ".history") continue;
      if (e.path[0] == 'm' && e.is_dir && e.path.find('\\') == std::string::npos) {
        markers.push_back(e.path);
        continue;
      }
      seen[e.path] = e.is_dir ? kDirectory : stored_state(session, e.path, target);
    }
    check_new_points(session, tree, "round " + std::to_string(number) + ", " + name + ": ");
    std::vector<std::string> found;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      found = tree.model.check_and_pin(seen);
    }
    if (markers != (tree.marker.empty() ? std::vector<std::string>{}
                                        : std::vector<std::string>{tree.marker})) {
      found.push_back("the checker's folders are not just \\" + tree.marker);
    }
    for (const std::string& f : found) {
      problem("round " + std::to_string(number) + ", " + name + ": " + f);
    }
    if (!found.empty()) {
      explain_lost_contents(tree, seen);
      continue;
    }
    // A change and a logout of the checker: a point of exactly this tree.
    const std::string marker = "m" + std::to_string(number);
    if ((!tree.marker.empty() && !session.remove(tree.marker).ok()) ||
        !session.add_dir(marker).ok()) {
      problem("round " + std::to_string(number) + ": the checker's change of " + name + " failed");
      continue;
    }
    // The point holds the tree of this logout: a later change in the same
    // second would be in it too, so the clients wait for the next second.
    if (!session.logout().replied) problem("the checker's logout got no reply");
    last_marker_logout_ = wall_now();
    tree.marker = marker;
    seen[marker] = kDirectory;
    made[t] = seen;
  }
  for (std::size_t t = 0; t < trees_.size(); ++t) {
    if (!made[t].empty()) check_points(trees_[t], number, made[t]);
  }
  // The clients' logouts fall in a later second than the checker's.
  const double next_second = static_cast<double>(static_cast<long>(last_marker_logout_)) + 1.02;
  while (wall_now() < next_second) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// The points made since the last check (by the clients' logouts and ends)
// each show the tree as it was at one moment of the round.
void ModelRun::check_new_points(ModelSession& session, Tree& tree, const std::string& where) {
  const std::string target = checker_folder_ + "/download";
  std::vector<ListedEntry> points;
  if (!session.list(".history", false, &points).ok()) return;  // reported later
  for (const ListedEntry& p : points) {
    const std::string name = p.path.substr(std::string(".history\\").size());
    if (!tree.known_points.insert(name).second) continue;
    std::vector<ListedEntry> entries;
    if (!session.list(p.path, true, &entries).ok()) continue;  // dropped, or reported later
    Snapshot shown;
    bool dropped = false;
    for (const ListedEntry& e : entries) {
      const std::string path = e.path.substr(p.path.size() + 1);
      if (!tree.model.knows(path)) continue;  // the checker's folder, or reported later
      if (e.is_dir) {
        shown[path] = kDirectory;
      } else if (std::rand() % 2 == 0) {
        shown[path] = kSomeFile;
      } else {
        shown[path] = stored_state(session, e.path, target);
        if (shown[path] == kUnreadable - 3 && !point_listed(session, name)) dropped = true;
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (dropped || tree.model.shown_at_some_moment(shown)) continue;
    std::string text = where + "point " + name + " shows a tree of no moment of the round:";
    for (const auto& entry : shown) {
      text += " \\" + entry.first + "=" +
              (entry.second == kSomeFile ? "a file" : describe_state(entry.second));
    }
    problems_.push_back(text);
  }
}

// For each file the checker could not download: every change of the same
// account since the last check that sent a content the file may hold.
void ModelRun::explain_lost_contents(const Tree& tree, const Snapshot& seen) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& entry : seen) {
    if (entry.second > kUnreadable) continue;
    for (const int content : tree.model.candidates(entry.first)) {
      if (content < 0) continue;
      problems_.push_back("  content " + std::to_string(content) + " of \\" + entry.first +
                          " was sent by:");
      for (const Tree& t : trees_) {
        if (t.user != tree.user) continue;
        for (const std::string& line : t.model.changes_sending(content, phase_start_)) {
          problems_.push_back("    " + t.user + "/" + t.project + ": " + line);
        }
      }
    }
  }
}

bool ModelRun::point_listed(ModelSession& session, const std::string& name) {
  std::vector<ListedEntry> points;
  if (!session.list(".history", false, &points).ok()) return true;
  for (const ListedEntry& p : points) {
    if (p.path == ".history\\" + name) return true;
  }
  return false;
}

// The points of one tree just after the checker's logout: the one the
// logout made shows `made`; each point made so before still shows its tree;
// any other holds only whole versions that were sent to their paths.
void ModelRun::check_points(Tree& tree, int number, const Snapshot& made) {
  const std::string target = checker_folder_ + "/download";
  const std::string where = "round " + std::to_string(number) + ", " + tree.user + "/" +
                            tree.project + ": ";
  ModelSession session(kPort);
  if (!session.login(tree.user, tree.password, tree.project)) {
    problem(where + "the checker's login failed");
    return;
  }
  // The newest point is always kept; with a clock that went back the
  // service may rank it below older names, so then it may be gone.
  const bool must_exist = !fake_clock_ || (offset_days_ == highest_days_);
  bool found = false;
  for (int attempt = 0; attempt < 10 && !found; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<ListedEntry> points;
    const Answer listed = session.list(".history", false, &points);
    if (!listed.ok()) {
      problem(where + "listing \\.history: error " + std::to_string(listed.errcode));
      return;
    }
    for (const ListedEntry& p : points) {
      const std::string name = p.path.substr(std::string(".history\\").size());
      tree.known_points.insert(name);
      std::vector<ListedEntry> entries;
      const Answer a = session.list(p.path, true, &entries);
      if (!a.ok()) {
        if (a.errcode != 3) problem(where + "listing \\" + p.path + ": error " +
                                    std::to_string(a.errcode));
        continue;
      }
      const bool newest = std::any_of(entries.begin(), entries.end(), [&](const ListedEntry& e) {
        return e.path == p.path + "\\" + tree.marker;
      });
      const auto marked = tree.marked_points.find(name);
      const bool exact = newest || marked != tree.marked_points.end();
      Snapshot shown;
      bool dropped = false;
      std::vector<std::string> found_here;
      for (const ListedEntry& e : entries) {
        const std::string path = e.path.substr(p.path.size() + 1);
        if (path == ".history") continue;
        const bool checker_folder = path[0] == 'm' && path.find('\\') == std::string::npos;
        if (!tree.model.knows(path) && !checker_folder) {
          found_here.push_back("\\" + e.path + ": never named by a change");
          continue;
        }
        if (e.is_dir) {
          shown[path] = kDirectory;
          continue;
        }
        // Every file of a point made here, a few of the others.
        if (!exact && std::rand() % 4 != 0) continue;
        const int state = stored_state(session, e.path, target);
        if (state == kUnreadable - 3 && !point_listed(session, name)) {
          dropped = true;  // retention dropped the point meanwhile
          break;
        }
        shown[path] = state;
        std::lock_guard<std::mutex> lock(mutex_);
        if (state < 0 || !tree.model.ever_held(path, state)) {
          found_here.push_back("\\" + e.path + " is " + describe_state(state) +
                               ", never sent there");
        }
      }
      if (dropped) continue;
      ++points_seen_;
      const Snapshot* expected = newest ? &made : marked != tree.marked_points.end()
                                                      ? &marked->second : nullptr;
      if (expected != nullptr && shown != *expected) {
        std::string text = "point " + name + " shows";
        for (const auto& s : shown) text += " \\" + s.first + "=" + describe_state(s.second);
        text += "; expected";
        for (const auto& s : *expected) text += " \\" + s.first + "=" + describe_state(s.second);
        found_here.push_back(text);
      }
      for (const std::string& f : found_here) problem(where + f);
      if (newest) {
        found = true;
        ++newest_found_;
        tree.marked_points[name] = made;
      }
    }
    if (!must_exist) break;
  }
  if (!found) {
    if (must_exist) {
      problem(where + "no point shows the tree of the checker's confirmed logout (marker \\" +
              tree.marker + ")");
    } else {
      ++missing_after_clock_back_;
    }
  }
}

void ModelRun::finish() {
  stop_service(SIGTERM);
  run_check("at the end");
}

}  // namespace store_model
