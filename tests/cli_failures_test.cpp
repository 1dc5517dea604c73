// The brevanto program's exit codes and messages when things go wrong,
// against a scripted service on 11001.
#include <gtest/gtest.h>

#include <string>

#include "tests/cli_support/cli_runner.h"

namespace {

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(CliFailures, NothingListeningIsNoSession) {
  // Hold the port for a moment so no other program's listener is up, then free it.
  claim_service_port().reset();
  const CliResult result = run_cli({"--user", "ann", "ls", "\\"});
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_TRUE(contains(result.err, "login: the service is not reachable: "
                                   "nothing listens on 127.0.0.1:11001"))
      << result.err;
  EXPECT_EQ(result.out, "");
}

TEST(CliFailures, RefusedLoginIsNoSession) {
  auto service = claim_service_port();
  service->then({"<ACK Result=\"failed\" errcode=\"2\" errtext=\"wrong password\"/>"});
  const CliResult result = run_cli({"--user", "ann", "--project", "p", "mkdir", "\\x"});
  EXPECT_EQ(result.exit_code, 3);
  // The refusal is reported with the service's own reason; nothing else is sent.
  EXPECT_TRUE(contains(result.err, "login: failed with -3 (service error 2: wrong password)"))
      << result.err;
  const auto requests = service->requests();
  ASSERT_GE(requests.size(), 1u);
  EXPECT_EQ(requests[0],
            "<login User=\"ann\" Password=\"pw\" ProjectName=\"p\" ClientType=\"1\" "
            "ClientID=\"0\"/>");
  for (const std::string& request : requests) EXPECT_FALSE(contains(request, "AddDir"));
}

TEST(CliFailures, ServiceFailurePrintsTheServiceText) {
  auto service = claim_service_port();
  service->then({kLoggedIn});
  service->then({kEmptyListing});
  service->then({"<ACK Result=\"failed\" errcode=\"5\" errtext=\"already exists\"/>"});
  const TempDir temp;
  const std::string& dir = temp.path();
  write_file(dir + "/a.txt", "hello");
  const CliResult result = run_cli({"--user", "ann", "put", "a.txt", "/docs/a.txt"}, dir);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_TRUE(contains(result.err,
                       "put \\docs\\a.txt: failed with -3 (service error 5: already exists)"))
      << result.err;
  // The service opens the local file itself: the path goes out absolute.
  EXPECT_EQ(service->requests()[2], "<AddFile PathName=\"\\docs\\a.txt\" LocalPathName=\"" +
                                        dir + "/a.txt\" ClientID=\"c1\"/>");
  EXPECT_EQ(service->requests().back(), "<logout ClientID=\"c1\"/>");
}

TEST(CliFailures, MissingLocalFileFailsBeforeLoggingIn) {
  auto service = claim_service_port();
  const TempDir temp;
  const std::string& dir = temp.path();
  const CliResult result = run_cli({"put", "missing.txt", "\\docs\\"}, dir);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_TRUE(contains(result.err, "put: cannot read " + dir + "/missing.txt: No such file"))
      << result.err;
  EXPECT_EQ(service->connections(), 0);
}

TEST(CliFailures, NoPasswordWithoutTerminalIsNoSession) {
  auto service = claim_service_port();
  const CliResult result = run_cli({"ls", "\\"}, ".", {{"BREVANTO_PASSWORD", kUnsetEnv}});
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_TRUE(contains(result.err, "no password")) << result.err;
  EXPECT_EQ(service->connections(), 0);
}

TEST(CliFailures, UsageErrorsExitWithTwoAndNeverConnect) {
  auto service = claim_service_port();
  const std::vector<std::vector<std::string>> wrong = {
      {},                                  // no subcommand
      {"ls"},                              // missing path
      {"put", "only-one"},                 // missing remote
      {"frobnicate"},                      // unknown subcommand
      {"--backend", "ftp", "ls", "\\"},    // unknown back end
      {"ls", "--password", "x", "\\"},     // no password option exists
      {"get", "\\a", "b", "c"},            // one argument too many
      {"ls", "\\a\"b"},                    // a double quote the library cannot send
      {"backup", "--exclude-larger-than", "2X", ".", "\\bk"},  // not a size
  };
  for (const auto& args : wrong) {
    const CliResult result = run_cli(args);
    EXPECT_EQ(result.exit_code, 2) << (args.empty() ? "" : args[0]);
    EXPECT_NE(result.err, "");
  }
  EXPECT_EQ(service->connections(), 0);
  EXPECT_EQ(run_cli({"--help"}).exit_code, 0);
}

TEST(CliFailures, CloudUpdateUploadsTheFileAnew) {
  // The cloud library has no update; its upload replaces a stored file.
  const TempDir temp;
  const std::string& dir = temp.path();
  write_file(dir + "/a.txt", "x");
  const CliResult result =
      run_cli({"--backend", "cloud", "update", "a.txt", "\\a.txt"}, dir,
              {{"BREVANTO_PASSWORD", "pw"}, {"QUORVEL_ROOT", dir + "/cloud"}});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "updated a.txt -> \\a.txt (1 bytes)\n");  // progress goes to stderr
}

TEST(CliFailures, BrokenConnectionDuringBackupIsNoSession) {
  auto service = claim_service_port();
  service->then({kLoggedIn});
  service->then({kEmptyListing});
  then_backup_starts(*service);
  service->then({kEmptyListing});  // the backup directory exists, empty
  service->then_close();  // the AddFile of a.txt
  const TempDir temp;
  const std::string& dir = temp.path();
  write_file(dir + "/tree/a.txt", "hello");
  write_file(dir + "/tree/b.txt", "world");
  const CliResult result = run_cli({"backup", "--transfers", "1", "tree", "\\bk"}, dir);
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_TRUE(contains(result.err, "backup: put \\bk\\a.txt: failed with -1")) << result.err;
  // Nothing more is tried on a closed connection.
  EXPECT_FALSE(contains(result.err, "b.txt")) << result.err;
}

}  // namespace
