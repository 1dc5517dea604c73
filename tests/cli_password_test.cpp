// Where the password comes from (a file, a command, the environment) and
// what a refused login says.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cli_support/cli_runner.h"

namespace {

struct SourceCase {
  std::vector<std::string> args;
  int exit_code;
  std::string sent;  // the password in the login request; empty: no login
  std::string err;   // a part of stderr
};

TEST(CliPassword, ComesFromAFileACommandOrTheEnvironment) {
  const TempDir temp;
  write_file(temp.path() + "/pw", "from file\r\nsecond line\n");
  const std::vector<SourceCase> cases = {
      {{"--password-file", "pw", "ls", "\\"}, 0, "from file", ""},
      {{"--password-command", "printf 'from command\\nmore'", "ls", "\\"}, 0, "from command", ""},
      {{"ls", "\\"}, 0, "from env", ""},
      {{"--password-file", "missing", "ls", "\\"}, 3, "", "login: --password-file missing: "},
      {{"--password-command", "exit 4", "ls", "\\"}, 3, "",
       "login: --password-command: the command failed (exit 4)"},
  };
  for (const SourceCase& c : cases) {
    auto service = claim_service_port();
    service->then({kLoggedIn});
    service->then({kSuccess});
    const CliResult result =
        run_cli(c.args, temp.path(), {{"BREVANTO_PASSWORD", "from env"}});
    EXPECT_EQ(result.exit_code, c.exit_code) << c.args[0] << result.err;
    EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
    const std::vector<std::string> requests = service->requests();
    if (c.sent.empty()) {
      EXPECT_TRUE(requests.empty()) << c.args[0];
    } else {
      ASSERT_FALSE(requests.empty());
      EXPECT_NE(requests[0].find("Password=\"" + c.sent + "\""), std::string::npos) << requests[0];
    }
  }
}

TEST(CliPassword, ALockedNameSaysHowLongToWait) {
  auto service = claim_service_port();
  service->then({"<ACK Result=\"failed\" errcode=\"13\" errtext=\"too many failed logins, try "
                 "again later\"/>"});
  const CliResult result = run_cli({"ls", "\\"});
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_NE(result.err.find("wait 4 s, then 8 s, 16 s"), std::string::npos) << result.err;
}

}  // namespace
