// Accounts of two Linux users on one service run by root: each account is
// used only from its own uid, each client reaches only the local files its
// uid may, and one uid's guessing never locks another uid out.
//
// The clients are this program run again under setpriv as uid kAnn or
// kBob ("--client PORT STEP..."), so that their sockets belong to those
// uids. Needs root; skipped otherwise.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/service_test_files.h"
#include "tests/service_test_process.h"
#include "tests/service_test_wire.h"

namespace {

constexpr uid_t kAnn = 1501;
constexpr uid_t kBob = 1502;

std::string self_path() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

// This program as a client of uid `uid` on `port`, running `steps`.
std::vector<std::string> client_argv(uid_t uid, std::uint16_t port,
                                     const std::vector<std::string>& steps) {
  std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid),
                                   "--regid=" + std::to_string(uid), "--clear-groups",
                                   self_path(), "--client", std::to_string(port)};
  argv.insert(argv.end(), steps.begin(), steps.end());
  return argv;
}

// What one step of a client got: the errcode ("0" for success, "closed"),
// the errtext and a login's ClientID.
struct Answer {
  std::string code, text, client_id;
};

// Runs the steps as a client of uid `uid` on `port`. A step is a request,
// with "$ID" standing for the ClientID of the client's last login, or
// "reconnect" for a new connection.
std::vector<Answer> as_uid(uid_t uid, std::uint16_t port, const std::vector<std::string>& steps) {
  const std::vector<std::string> argv = client_argv(uid, port, steps);
  std::string output;
  run_program(argv, "", &output);
  std::istringstream lines(output);
  std::vector<Answer> answers;
  for (std::string line; std::getline(lines, line);) {
    Answer a;
    std::istringstream fields(line);
    std::getline(fields, a.code, '|');
    std::getline(fields, a.text, '|');
    std::getline(fields, a.client_id, '|');
    answers.push_back(a);
  }
  return answers;
}

// A client of `uid` running beside the test: it stops at each "hold" step
// until release() (see run_client), so that it can keep connections open
// while other clients work.
class BackgroundClient {
 public:
  BackgroundClient(uid_t uid, std::uint16_t port, const std::vector<std::string>& steps) {
    const std::vector<std::string> argv = client_argv(uid, port, steps);
    int out = -1;
    pid_ = start_program(argv, &in_, &out);
    if (pid_ > 0) out_ = ::fdopen(out, "r");
  }
  ~BackgroundClient() {
    if (in_ >= 0) ::close(in_);
    if (out_ != nullptr) std::fclose(out_);
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  }

  // The errcode of the next answer ("0", "closed"), empty when it ended.
  std::string next_code() {
    char line[512];
    if (out_ == nullptr || std::fgets(line, sizeof line, out_) == nullptr) return "";
    const std::string text = line;
    return text.substr(0, text.find('|'));
  }
  void release() { (void)!::write(in_, "\n", 1); }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  std::FILE* out_ = nullptr;
};

int run_client(int argc, char** argv) {
  const auto port = static_cast<std::uint16_t>(std::stoi(argv[2]));
  auto wire = std::make_unique<WireClient>(port);
  std::vector<std::unique_ptr<WireClient>> held;  // connections kept open
  std::string id;
  for (int i = 3; i < argc; ++i) {
    std::string step = argv[i];
    if (step == "reconnect") {
      wire = std::make_unique<WireClient>(port);
      continue;
    }
    if (step == "connect") {  // a new connection, the others kept open
      held.push_back(std::move(wire));
      wire = std::make_unique<WireClient>(port);
      continue;
    }
    if (step == "hold") {  // until a line (or the end) on stdin
      std::cout.flush();
      std::string line;
      std::getline(std::cin, line);
      continue;
    }
    if (step.find("$ID") != std::string::npos) step.replace(step.find("$ID"), 3, id);
    wire->send(step);
    std::string reply = wire->read_message();
    while (reply.compare(0, 5, "<RPT ") == 0) reply = wire->read_message();
    bool failed = false;
    const std::string code = attribute_of(reply, "errcode", &failed);
    const std::string client_id = attribute_of(reply, "ClientID");
    if (!client_id.empty()) id = client_id;
    std::cout << (reply.empty() ? "closed" : failed ? code : "0") << '|'
              << attribute_of(reply, "errtext") << '|' << client_id << '\n';
  }
  return 0;
}

std::string login(const std::string& user, const std::string& password) {
  return "<login User=\"" + user + "\" Password=\"" + password + "\" ProjectName=\"\"/>";
}

std::string transfer(const char* request, const std::string& storage, const std::string& local) {
  return std::string("<") + request + " PathName=\"" + storage + "\" LocalPathName=\"" + local +
         "\" ClientID=\"$ID\"/>";
}

// `brevanto-service --root ROOT --add-user NAME [--allow-uid UID]` with
// `password` on stdin; its exit status, and its stdout in `out`.
int add_user(const std::string& root, const std::string& name, const std::string& password,
             const std::vector<uid_t>& uids, std::string* out = nullptr) {
  std::vector<std::string> argv = {BREVANTO_SERVICE_PATH, "--root", root, "--add-user", name};
  for (const uid_t uid : uids) {
    argv.push_back("--allow-uid");
    argv.push_back(std::to_string(uid));
  }
  std::string text;
  const int code = run_program(argv, password + "\n", &text);
  if (out != nullptr) *out = text;
  return code;
}

// Drops the uids of `name`, as a catalog from before accounts had uids.
bool unbind(const std::string& catalog, const std::string& name) {
  sqlite3* db = nullptr;
  const std::string sql =
      "DELETE FROM user_uids WHERE user_id = (SELECT id FROM users WHERE name = '" + name + "')";
  const bool ok = sqlite3_open(catalog.c_str(), &db) == SQLITE_OK &&
                  sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

bool make_owned(const std::string& path, uid_t owner, mode_t mode, const char* content) {
  if (content != nullptr ? !write_file(path, content) : ::mkdir(path.c_str(), mode) != 0) {
    return false;
  }
  return ::chown(path.c_str(), owner, owner) == 0 && ::chmod(path.c_str(), mode) == 0;
}

// ann and bob with accounts of their own; "old", an account from before
// accounts had uids, in a storage root owned by bob. The local root holds
// a folder of each, private to its owner, and ann's secret.
class ServiceAccountUids : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "clients of other uids need root";
    root = dir.path() + "/root";
    local = dir.path() + "/local";
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(add_user(root, "ann", "ann-pw", {kAnn}), 0);
    ASSERT_EQ(add_user(root, "bob", "bob-pw", {kBob}), 0);
    ASSERT_EQ(add_user(root, "old", "old-pw", {}), 0);
    ASSERT_TRUE(unbind(root + "/catalog.sqlite3", "old"));
    ASSERT_EQ(::chown(root.c_str(), kBob, kBob), 0);
    ASSERT_TRUE(make_owned(local, 0, 0755, nullptr));
    ASSERT_TRUE(make_owned(local + "/ann", kAnn, 0700, nullptr));
    ASSERT_TRUE(make_owned(local + "/ann/secret.txt", kAnn, 0600, "ann's secret"));
    ASSERT_TRUE(make_owned(local + "/bob", kBob, 0700, nullptr));
    ASSERT_TRUE(make_owned(local + "/bob/mine.txt", kBob, 0600, "bob's file"));
    service = std::make_unique<ServiceProcess>(root, std::vector<std::string>{local},
                                               dir.path() + "/service.log");
    ASSERT_TRUE(service->start()) << service->log();
    const std::vector<Answer> probe = as_uid(kAnn, service->port(), {login("ann", "ann-pw")});
    if (probe.empty()) GTEST_SKIP() << "cannot run " << self_path() << " as another uid";
  }

  std::vector<Answer> as(uid_t uid, const std::vector<std::string>& steps) {
    return as_uid(uid, service->port(), steps);
  }

  TempDir dir;
  std::string root, local;
  std::unique_ptr<ServiceProcess> service;
};

TEST_F(ServiceAccountUids, AnAccountIsUsedOnlyFromItsOwnUids) {
  // Only the right password from a uid the account is not bound to learns
  // why it was refused; every other refusal hears what a wrong password
  // hears, and only the log tells the reason.
  const std::string usual = "wrong user or password";
  const auto advice = [](const char* user, uid_t uid) {
    const std::string n = std::to_string(uid);
    return "this account is not bound to your user id (uid " + n +
           "); ask the administrator to run brevanto-service --add-user " + user +
           " --allow-uid " + n;
  };
  const struct {
    uid_t uid;
    const char* user;
    const char* password;
    std::string code, text;
  } tries[] = {
      {kAnn, "ann", "ann-pw", "0", ""},
      {kBob, "ann", "guess", "9", usual},
      {kBob, "ann", "ann-pw", "9", advice("ann", kBob)},
      {kBob, "nobody", "ann-pw", "9", usual},
      {0, "ann", "bob-pw", "9", usual},
      {0, "ann", "ann-pw", "9", advice("ann", 0)},
      {kBob, "old", "old-pw", "0", ""},  // the root's owner
      {kAnn, "old", "guess", "9", usual},
      {kAnn, "old", "old-pw", "9", advice("old", kAnn)},
  };
  for (const auto& t : tries) {
    const std::vector<Answer> got = as(t.uid, {login(t.user, t.password)});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].code, t.code) << t.uid << " " << t.user << " " << t.password;
    EXPECT_EQ(got[0].text, t.text) << t.uid << " " << t.user << " " << t.password;
  }
  EXPECT_NE(service->log().find("(uid 1502 may not use this account; the password does not match)"),
            std::string::npos);

  // A ClientID of ann's is worth nothing on a connection of bob's.
  const std::string ann_id = as(kAnn, {login("ann", "ann-pw")})[0].client_id;
  const std::string info = "<GetFileInfo PathName=\"\\\" ClientID=\"" + ann_id + "\"/>";
  EXPECT_EQ(as(kBob, {info})[0].code, "1");
  EXPECT_EQ(as(kAnn, {info})[0].code, "0");

  // --allow-uid lets bob in too, without ann's password, while serving.
  EXPECT_EQ(add_user(root, "ann", "", {kBob}), 0);
  EXPECT_EQ(as(kBob, {login("ann", "ann-pw"), info})[1].code, "0");
}

// --add-user says whom it bound the account to, root included.
TEST_F(ServiceAccountUids, AddUserNamesTheBoundUids) {
  std::string out;
  ASSERT_EQ(add_user(root, "carl", "carl-pw", {}, &out), 0);
  EXPECT_EQ(out, "account carl: bound to uid 0 (root); add --allow-uid UID for another user\n");
  ASSERT_EQ(add_user(root, "carl", "", {kAnn}, &out), 0);
  EXPECT_EQ(out, "account carl: bound to uids 0 (root), 1501; add --allow-uid UID for another "
                 "user\n");
}

TEST_F(ServiceAccountUids, LocalFilesAreReachedWithTheClientsRights) {
  const std::string secret = local + "/ann/secret.txt";
  // bob stores a file of his own, then turns on ann's.
  const std::vector<Answer> bob =
      as(kBob, {login("bob", "bob-pw"), transfer("AddFile", "\\mine", local + "/bob/mine.txt"),
                transfer("AddFile", "\\stolen", secret),
                transfer("AddFile", "\\probe", local + "/ann/no-such.txt"),
                transfer("DownloadFile", "\\mine", secret),
                transfer("DownloadFile", "\\mine", local + "/ann/planted/f.txt")});
  ASSERT_EQ(bob.size(), 6u);
  EXPECT_EQ(bob[1].code, "0");
  for (std::size_t i = 2; i < bob.size(); ++i) {
    EXPECT_EQ(bob[i].code, "6") << i;
    EXPECT_EQ(bob[i].text, bob[2].text) << i;  // her files' existence stays hers
  }
  EXPECT_EQ(read_file(secret), "ann's secret");
  EXPECT_FALSE(path_exists(local + "/ann/planted"));

  // ann reaches her own, and what the service makes for her is hers.
  const std::vector<Answer> ann =
      as(kAnn, {login("ann", "ann-pw"), transfer("AddFile", "\\secret", secret),
                transfer("DownloadFile", "\\secret", local + "/ann/new/copy.txt")});
  ASSERT_EQ(ann.size(), 3u);
  EXPECT_EQ(ann[1].code, "0");
  EXPECT_EQ(ann[2].code, "0");
  EXPECT_EQ(read_file(local + "/ann/new/copy.txt"), "ann's secret");
  for (const char* made : {"/ann/new", "/ann/new/copy.txt"}) {
    struct stat st;
    ASSERT_EQ(::stat((local + made).c_str(), &st), 0) << made;
    EXPECT_EQ(st.st_uid, kAnn) << made;
  }
}

// Without --local-root, a client writes wherever its uid may, and nowhere
// else: not in another user's folder, and not in the storage root, which
// bob owns here.
TEST_F(ServiceAccountUids, WithoutLocalRootsTheClientsRightsDecide) {
  service->stop(SIGTERM);
  service = std::make_unique<ServiceProcess>(root, std::vector<std::string>{},
                                             dir.path() + "/service.log");
  ASSERT_TRUE(service->start()) << service->log();
  TempDir anns;  // outside every earlier local root
  ASSERT_EQ(::chown(anns.path().c_str(), kAnn, kAnn), 0);
  const std::string copy = anns.path() + "/restored/copy.txt";
  const std::vector<Answer> ann =
      as(kAnn, {login("ann", "ann-pw"),
                transfer("AddFile", "\\secret", local + "/ann/secret.txt"),
                transfer("DownloadFile", "\\secret", copy)});
  ASSERT_EQ(ann.size(), 3u);
  EXPECT_EQ(ann[2].code, "0");
  EXPECT_EQ(read_file(copy), "ann's secret");

  const std::string refused =
      "local path refused (allowed: what the client's user may reach, outside the storage root)";
  const std::vector<Answer> bob =
      as(kBob, {login("bob", "bob-pw"), transfer("AddFile", "\\mine", local + "/bob/mine.txt"),
                transfer("DownloadFile", "\\mine", anns.path() + "/planted.txt"),
                transfer("DownloadFile", "\\mine", root + "/planted.txt"),
                transfer("AddFile", "\\catalog", root + "/catalog.sqlite3")});
  ASSERT_EQ(bob.size(), 5u);
  EXPECT_EQ(bob[1].code, "0");
  for (std::size_t i = 2; i < bob.size(); ++i) {
    EXPECT_EQ(bob[i].code, "6") << i;
    EXPECT_EQ(bob[i].text, refused) << i;
  }
  EXPECT_FALSE(path_exists(anns.path() + "/planted.txt"));
  EXPECT_FALSE(path_exists(root + "/planted.txt"));
}

TEST_F(ServiceAccountUids, OneUidsGuessingNeverLocksOutAnother) {
  // ann guesses at bob's account, on a new connection each time, until she
  // is refused unchecked.
  std::vector<std::string> guesses;
  for (int i = 0; i < 5; ++i) {
    guesses.push_back("reconnect");
    guesses.push_back(login("bob", "guess" + std::to_string(i)));
  }
  const std::vector<Answer> got = as(kAnn, guesses);
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got.back().code, "13");
  // bob logs in at once; ann's own account is not locked either.
  EXPECT_EQ(as(kBob, {login("bob", "bob-pw")})[0].code, "0");
  EXPECT_EQ(as(kAnn, {login("ann", "ann-pw")})[0].code, "0");
}

// The session slots are shared by uid: bob takes every one, and ann still
// logs in; bob, then over his share, gets no more while the slots are full.
TEST_F(ServiceAccountUids, OneUidNeverTakesEverySession) {
  service.reset();
  ServiceProcess limited(root, {local}, dir.path() + "/limited.log", {"--max-sessions", "4"});
  ASSERT_TRUE(limited.start()) << limited.log();
  std::vector<std::string> steps;
  for (int i = 0; i < 4; ++i) {
    steps.push_back("connect");
    steps.push_back(login("bob", "bob-pw"));
  }
  steps.insert(steps.end(), {"hold", "connect", login("bob", "bob-pw"), "hold"});
  BackgroundClient bob(kBob, limited.port(), steps);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(bob.next_code(), "0") << i;
  BackgroundClient ann(kAnn, limited.port(), {login("ann", "ann-pw"), "hold"});
  EXPECT_EQ(ann.next_code(), "0");
  bob.release();
  EXPECT_EQ(bob.next_code(), "14");
  bob.release();
  ann.release();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "--client") return run_client(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
