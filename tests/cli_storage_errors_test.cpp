// How a backup ends when the storage cannot go on: a full disk stops it with
// one message; a broken connection is named as such, and the manifest of
// what was sent before is stored through a new connection.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/cli_support/cli_runner.h"

namespace {

const char kDiskFull[] = "<ACK Result=\"failed\" errcode=\"7\" errtext=\"disk full\"/>";

bool sent(const std::vector<std::string>& requests, const std::string& prefix) {
  return std::any_of(requests.begin(), requests.end(), [&](const std::string& request) {
    return request.rfind(prefix, 0) == 0;
  });
}

class CliStorageErrors : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) write_file(temp.path() + "/tree/" + name, name);
    service = claim_service_port();
    service->then({kLoggedIn});
    service->then({kSuccess});   // the session check
    then_backup_starts(*service);
    service->then({kSuccess});  // the backup directory exists, empty
  }
  // A named project: in the default one a first backup asks the project of
  // earlier versions after it, through another login.
  CliResult backup() {
    return run_cli({"--project", "p", "backup", "--transfers", "1", "tree", "\\bk"}, temp.path());
  }

  TempDir temp;
  std::unique_ptr<FakeService> service;
};

TEST_F(CliStorageErrors, AFullDiskStopsTheBackupWithOneMessage) {
  service->then({kDiskFull});  // a.txt
  const CliResult result = backup();
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  EXPECT_NE(result.err.find("backup: the storage is full: failed with -3 (service error 7: "
                            "disk full); nothing more is sent"),
            std::string::npos)
      << result.err;
  const std::vector<std::string> requests = service->requests();
  EXPECT_FALSE(sent(requests, "<AddFile PathName=\"\\bk\\b.txt\"")) << requests.size();
  EXPECT_FALSE(sent(requests, "<AddFile PathName=\"\\bk\\c.txt\""));
}

TEST_F(CliStorageErrors, AReachedQuotaNamesWhoSetsIt) {
  service->then({"<ACK Result=\"failed\" errcode=\"7\" errtext=\"disk full: the quota of account "
                 "ann is reached: 5 of 6 bytes held, 5 more asked\"/>"});
  const CliResult result = backup();
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("5 more asked; the service's administrator sets the account's quota "
                            "(brevanto-service --add-user NAME --quota-bytes SIZE)); nothing more "
                            "is sent"),
            std::string::npos)
      << result.err;
}

TEST_F(CliStorageErrors, ABrokenConnectionIsNamedAndWhatWasSentIsKept) {
  service->then({kSuccess});  // a.txt
  service->then_close();      // b.txt
  const CliResult result = backup();
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_NE(result.err.find("backup: put \\bk\\b.txt: failed with -1 (the service closed the "
                            "connection)"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("the manifest lists the 1 files sent before"), std::string::npos)
      << result.err;
  const std::vector<std::string> requests = service->requests();
  EXPECT_TRUE(sent(requests, "<AddFile PathName=\"\\bk\\.brevanto-manifest\""));
  EXPECT_FALSE(sent(requests, "<AddFile PathName=\"\\bk\\c.txt\""));
  EXPECT_EQ(service->connections(), 2);
}

}  // namespace
