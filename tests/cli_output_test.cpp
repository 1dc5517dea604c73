// What the brevanto program prints: listings, file information, space, and
// the plain progress lines it writes when stderr is not a terminal.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/cli_support/cli_runner.h"

namespace {

const char kFileNotFound[] = "<ACK Result=\"failed\" errcode=\"2\" errtext=\"not found\"/>";

class CliOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    service = claim_service_port();
    service->then({kLoggedIn});
    service->then({kEmptyListing});  // the session check
  }
  std::unique_ptr<FakeService> service;
};

TEST_F(CliOutput, LsPrintsSortedPathsWithDirectoriesMarked) {
  service->then({"<RPT Result=\"success\"><file ParentDir=\"\\docs\\\" Name=\"b.txt\"/></RPT>",
                 "<ACK Result=\"success\"><dir ParentDir=\"\\docs\\\" Name=\"Ünïcödé 日本\"/>"
                 "<file ParentDir=\"\\docs\\Ünïcödé 日本\\\" Name=\"ä.txt\"/>"
                 "<file ParentDir=\"\\docs\\\" Name=\"a.txt\"/></ACK>"});
  const CliResult result = run_cli({"ls", "-r", "/docs/"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out,
            "\\docs\\a.txt\n"
            "\\docs\\b.txt\n"
            "\\docs\\Ünïcödé 日本\\\n"
            "\\docs\\Ünïcödé 日本\\ä.txt\n");
  EXPECT_EQ(service->requests()[2],
            "<GetFileList StartDir=\"\\docs\" SearchSubDirs=\"true\" ClientId=\"c1\"/>");
}

TEST_F(CliOutput, LsFailurePrintsTheServiceText) {
  service->then({"<ACK Result=\"failed\" errcode=\"8\" errtext=\"internal error\"/>"});
  const CliResult result = run_cli({"ls", "\\nope"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "ls \\nope: failed with -3 (service error 8: internal error)\n");
}

TEST_F(CliOutput, StatShowsSizeTimesAndReversion) {
  // 133000000000000000 is 2022-06-18 04:26:40 UTC as a FILETIME.
  service->then({"<ACK Result=\"success\" Size=\"5000000000\" CreateTime=\"133000000000000000\" "
                 "LastModifyTime=\"133000000010000000\" BackupType=\"1\" Reversion=\"2\"/>"});
  const CliResult result = run_cli({"stat", "\\docs\\größe.bin"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out,
            "path:        \\docs\\größe.bin\n"
            "size:        5000000000 bytes\n"
            "created:     2022-06-18 04:26:40 UTC\n"
            "modified:    2022-06-18 04:26:41 UTC\n"
            "backup type: 1\n"
            "reversion:   2\n");
  EXPECT_EQ(service->requests()[2],
            "<GetFileInfo PathName=\"\\docs\\größe.bin\" ClientID=\"c1\"/>");
}

TEST_F(CliOutput, ExistsAnswersWithItsExitCode) {
  service->then({kFileNotFound});
  CliResult result = run_cli({"exists", "\\a"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "\\a does not exist\n");

  service->then({kLoggedIn});
  service->then({kEmptyListing});
  service->then({"<ACK Result=\"success\" Size=\"1\"/>"});
  result = run_cli({"exists", "\\a"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "\\a exists\n");
}

TEST_F(CliOutput, DfWithTheLocalServiceIsNotAvailable) {
  const CliResult result = run_cli({"df"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "df: not available on this back end\n");
}

TEST_F(CliOutput, PlanWithTheLocalServiceNamesItsQuotas) {
  const CliResult shown = run_cli({"plan"});
  EXPECT_EQ(shown.exit_code, 1);
  EXPECT_EQ(shown.out, "");
  EXPECT_EQ(shown.err.rfind("plan: the local service reports no space figures; plans belong to "
                            "the cloud back end (--backend cloud); the local service keeps a "
                            "quota per account", 0),
            0u)
      << shown.err;
  // Refused before it logs in.
  const CliResult upgrade = run_cli({"plan", "--upgrade"});
  EXPECT_EQ(upgrade.exit_code, 1);
  EXPECT_EQ(upgrade.err.rfind("plan --upgrade: plans belong to the cloud back end", 0), 0u);
  EXPECT_EQ(service->connections(), 1);
}

TEST_F(CliOutput, LsLongAndJsonShowEveryField) {
  const char kListing[] = "<ACK Result=\"success\"><file ParentDir=\"\\d\\\" Name=\"a b.txt\"/>"
                          "<dir ParentDir=\"\\d\\\" Name=\"sub\"/></ACK>";
  // 133000000000000000 is 2022-06-18 04:26:40 UTC as a FILETIME.
  const char kFileInfo[] = "<ACK Result=\"success\" Size=\"1234\" CreateTime=\"133000000000000000\" "
                           "LastModifyTime=\"133000000000000000\" BackupType=\"0\" Reversion=\"3\"/>";
  const char kDirInfo[] = "<ACK Result=\"success\" Size=\"0\" CreateTime=\"0\" "
                          "LastModifyTime=\"133000000000000000\" BackupType=\"0\" Reversion=\"0\"/>";
  service->then({kListing});
  service->then({kFileInfo});
  service->then({kDirInfo});
  CliResult result = run_cli({"ls", "-l", "\\d"}, ".", {{"BREVANTO_PASSWORD", "pw"}, {"TZ", "UTC"}});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out,
            "        1234  2022-06-18T04:26:40+00:00     3  \\d\\a b.txt\n"
            "           0  2022-06-18T04:26:40+00:00     0  \\d\\sub\\\n");

  for (const char* reply : {kLoggedIn, kEmptyListing, kListing, kFileInfo, kDirInfo}) {
    service->then({reply});
  }
  result = run_cli({"ls", "--json", "\\d"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out,
            "{\"path\":\"\\\\d\",\"entries\":["
            "{\"path\":\"\\\\d\\\\a b.txt\",\"type\":\"file\",\"size\":1234,"
            "\"created\":\"2022-06-18T04:26:40Z\",\"modified\":\"2022-06-18T04:26:40Z\","
            "\"backup_type\":0,\"reversion\":3},"
            "{\"path\":\"\\\\d\\\\sub\",\"type\":\"directory\",\"size\":0,"
            "\"created\":null,\"modified\":\"2022-06-18T04:26:40Z\","
            "\"backup_type\":0,\"reversion\":0}]}\n");
}

TEST_F(CliOutput, LsOfAFileListsTheFile) {
  service->then({"<ACK Result=\"failed\" errcode=\"10\" errtext=\"not a directory\"/>"});
  service->then({"<ACK Result=\"success\"><file ParentDir=\"\\d\\\" Name=\"f.txt\"/></ACK>"});
  const CliResult result = run_cli({"ls", "\\d\\f.txt"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "\\d\\f.txt\n");
}

TEST_F(CliOutput, RestoreAndGetStopAtALocalPathTheServiceRefuses) {
  const TempDir temp;
  const std::string& dir = temp.path();
  const char kRefused[] =
      "<ACK Result=\"failed\" errcode=\"6\" errtext=\"local path refused (allowed: /a, /b)\"/>";
  service->then({"<ACK Result=\"success\"><dir ParentDir=\"\\\" Name=\"bk\"/></ACK>"});
  service->then({kRefused});
  CliResult result = run_cli({"restore", "\\bk", "out/copy"}, dir);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "restore: cannot write " + dir +
                            "/out/copy/.brevanto-manifest.probe: local path refused (allowed: /a, /b)\n");
  EXPECT_EQ(service->requests()[3], "<DownloadFile PathName=\"\\bk\\.brevanto-manifest.probe\" "
                                    "LocalPathName=\"" + dir + "/out/copy/.brevanto-manifest.probe\" "
                                    "ClientID=\"c1\"/>");
  EXPECT_FALSE(std::filesystem::exists(dir + "/out"));

  for (const char* reply : {kLoggedIn, kEmptyListing, kRefused}) service->then({reply});
  result = run_cli({"get", "\\bk\\a.txt", "out/a.txt"}, dir);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "get: cannot write " + dir + "/out/a.txt: local path refused (allowed: /a, /b)\n");
  EXPECT_FALSE(std::filesystem::exists(dir + "/out"));
  for (const std::string& request : service->requests()) {
    EXPECT_EQ(request.find("DownloadFile PathName=\"\\bk\\a.txt"), std::string::npos) << request;
  }
}

TEST_F(CliOutput, RmdirRefusesADirectoryWithContentAndPurgeRemovesIt) {
  const char kParent[] = "<ACK Result=\"success\"><dir ParentDir=\"\\\" Name=\"d\"/></ACK>";
  service->then({kParent});
  service->then({"<ACK Result=\"success\"><file ParentDir=\"\\d\\\" Name=\"a.txt\"/></ACK>"});
  CliResult result = run_cli({"rmdir", "\\d"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "rmdir \\d: directory not empty; use purge (or rmdir -r) to remove it "
                        "with everything in it\n");
  for (const std::string& request : service->requests()) {
    EXPECT_EQ(request.find("RemoveFile"), std::string::npos) << request;
  }
  for (const char* reply : {kLoggedIn, kEmptyListing, kParent}) service->then({reply});
  result = run_cli({"purge", "\\d"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(service->requests()[8], "<RemoveFile PathName=\"\\d\" ClientID=\"c1\"/>");
}

TEST_F(CliOutput, AnUnknownSubcommandSuggestsTheNearestOne) {
  const CliResult result = run_cli({"--user", "ann", "lss", "\\"});
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_EQ(result.err, "brevanto: unknown command \"lss\"\n\nDid you mean this?\n\tls\n"
                        "Run 'brevanto --help' for the commands.\n");
  EXPECT_EQ(service->connections(), 0);
}

TEST_F(CliOutput, MkdirAndRmSendNormalisedPaths) {
  EXPECT_EQ(run_cli({"mkdir", "/a/b/"}).exit_code, 0);
  EXPECT_EQ(service->requests()[2], "<AddDir PathName=\"\\a\\b\" ClientID=\"c1\" />");
  service->then({kLoggedIn});
  service->then({kEmptyListing});
  service->then({"<ACK Result=\"success\"><file ParentDir=\"\\a\\b\\\" Name=\"c.txt\"/></ACK>"});
  EXPECT_EQ(run_cli({"rm", "\\a\\b\\c.txt"}).exit_code, 0);
  EXPECT_EQ(service->requests()[6],
            "<GetFileList StartDir=\"\\a\\b\" SearchSubDirs=\"false\" ClientId=\"c1\"/>");
  EXPECT_EQ(service->requests()[7], "<RemoveFile PathName=\"\\a\\b\\c.txt\" ClientID=\"c1\"/>");
}

TEST_F(CliOutput, RmRefusesADirectoryAndRmdirAFile) {
  // The service removes both through one request: a directory with its content.
  service->then({"<ACK Result=\"success\"><dir ParentDir=\"\\\" Name=\"docs\"/></ACK>"});
  CliResult result = run_cli({"rm", "/docs"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "rm \\docs: is a directory; use rmdir or purge\n");

  service->then({kLoggedIn});
  service->then({kEmptyListing});
  service->then({"<ACK Result=\"success\"><file ParentDir=\"\\\" Name=\"a.txt\"/></ACK>"});
  result = run_cli({"rmdir", "/a.txt"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "rmdir \\a.txt: is a file; use rm\n");
  for (const std::string& request : service->requests()) {
    EXPECT_EQ(request.find("RemoveFile"), std::string::npos) << request;
  }
}

TEST_F(CliOutput, PutWritesOnePlainLineWhenNotOnATerminal) {
  const TempDir temp;
  const std::string& dir = temp.path();
  write_file(dir + "/daten.bin", std::string(3000, 'x'));
  service->then({"<RPT TotalBytes=\"3000\" CompleteBytes=\"1000\"/>",
                 "<RPT TotalBytes=\"3000\" CompleteBytes=\"3000\"/>", "<ACK Result=\"success\"/>"});
  const CliResult result = run_cli({"put", "daten.bin", "\\docs\\"}, dir);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "uploaded daten.bin -> \\docs\\daten.bin (3000 bytes)\n");
  EXPECT_EQ(result.out, "");
  // No bar: nothing is redrawn with carriage returns or escapes.
  EXPECT_EQ(result.err.find('\r'), std::string::npos);
}

TEST_F(CliOutput, QuietPrintsNoProgress) {
  const TempDir temp;
  const std::string& dir = temp.path();
  write_file(dir + "/a.txt", "a");
  const CliResult result = run_cli({"-q", "update", "a.txt", "\\a.txt"}, dir);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(service->requests()[2], "<UpdateFile PathName=\"\\a.txt\" LocalPathName=\"" + dir +
                                        "/a.txt\" ClientID=\"c1\"/>");
}

TEST_F(CliOutput, BackupWritesOneLinePerFileAndAddsOrUpdates) {
  const TempDir temp;
  const std::string& dir = temp.path();
  write_file(dir + "/tree/neu.txt", "12345");
  write_file(dir + "/tree/sub dir/alt ñ.txt", "123");
  then_backup_starts(*service);
  // One listing tells what is stored: no existence check per file.
  service->then({"<ACK Result=\"success\"><dir ParentDir=\"\\bk\\\" Name=\"sub dir\"/>"
                 "<file ParentDir=\"\\bk\\sub dir\\\" Name=\"alt ñ.txt\"/></ACK>"});
  // -v: a line per file. A named project: in the default one a first backup
  // asks the project of earlier versions after it, through another login.
  const CliResult result =
      run_cli({"-v", "--project", "p", "backup", "--transfers", "1", "tree", "/bk"}, dir,
              {{"BREVANTO_PASSWORD", "pw"}, {"TMPDIR", dir}});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.err.find("\n[1/2] added neu.txt (5 bytes)\n"
                            "[2/2] updated sub dir/alt ñ.txt (3 bytes)\n"),
            std::string::npos)
      << result.err;
  EXPECT_NE(result.out.find("2 files (8 B), 1 added, 1 updated, 0 unchanged, 0 deleted, "
                            "0 directories created, 0 skipped, 0 failed"),
            std::string::npos)
      << result.out;
  const auto requests = service->requests();
  ASSERT_EQ(requests.size(), 11u);
  // The local root is asked first, before anything is read; then the
  // private folder ($TMPDIR/brevanto.XXXXXX) the lock and manifest go through.
  EXPECT_EQ(requests[2], "<DownloadFile PathName=\"\\bk\\.brevanto-manifest.probe\" "
                         "LocalPathName=\"" + dir + "/tree/.brevanto-manifest.probe\" "
                         "ClientID=\"c1\"/>");
  const std::string scratch = "LocalPathName=\"" + dir + "/brevanto.";
  EXPECT_NE(requests[3].find(scratch), std::string::npos) << requests[3];
  // A free lock is taken in one request, before the listing, and given
  // back in one, once the manifest is stored.
  EXPECT_EQ(requests[4].rfind("<AddFile PathName=\"\\bk\\.brevanto-manifest.lock\" " + scratch,
                              0),
            0u)
      << requests[4];
  EXPECT_EQ(requests[5], "<GetFileList StartDir=\"\\bk\" SearchSubDirs=\"true\" ClientId=\"c1\"/>");
  EXPECT_EQ(requests[6], "<AddFile PathName=\"\\bk\\neu.txt\" LocalPathName=\"" + dir +
                             "/tree/neu.txt\" ClientID=\"c1\"/>");
  EXPECT_EQ(requests[7], "<UpdateFile PathName=\"\\bk\\sub dir\\alt ñ.txt\" LocalPathName=\"" +
                             dir + "/tree/sub dir/alt ñ.txt\" ClientID=\"c1\"/>");
  // The manifest, new in this directory: uploaded from a scratch file.
  EXPECT_EQ(requests[8].rfind("<AddFile PathName=\"\\bk\\.brevanto-manifest\" " + scratch, 0),
            0u)
      << requests[8];
  EXPECT_EQ(requests[9], "<RemoveFile PathName=\"\\bk\\.brevanto-manifest.lock\" ClientID=\"c1\"/>");
  // Nothing is left of the scratch files, nor of the private folder.
  std::size_t left = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir + "/tree")) {
    left += entry.path().filename().string().rfind(".brevanto", 0) == 0;
  }
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    left += entry.path().filename().string().rfind("brevanto.", 0) == 0;
  }
  EXPECT_EQ(left, 0u);
}

TEST_F(CliOutput, HelpAndVerboseSayWhereTheLogIs) {
  const TempDir temp;
  const std::vector<std::pair<std::string, std::string>> env = {
      {"BREVANTO_PASSWORD", "pw"}, {"BREVANTO_LOG_DIR", temp.path() + "/logs"}};
  const std::string log = temp.path() + "/logs/Brevanto.log";
  EXPECT_NE(run_cli({"--help"}, ".", env).out.find("Log: " + log), std::string::npos);
  const CliResult result = run_cli({"-v", "ls", "\\"}, ".", env);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.err.find("brevanto: log " + log + "\n"), std::string::npos) << result.err;
  EXPECT_TRUE(std::filesystem::exists(log));  // the session's lines went there
}

TEST_F(CliOutput, TheLogGoesToTheStateFolderAndHelpSaysHowToReadIt) {
  const TempDir temp;
  const std::string log = temp.path() + "/state/brevanto/Logs/Brevanto.log";
  const std::vector<std::pair<std::string, std::string>> env = {
      {"BREVANTO_PASSWORD", "pw"}, {"BREVANTO_LOG_DIR", kUnsetEnv},
      {"XDG_STATE_HOME", temp.path() + "/state"}};
  const std::string help = run_cli({"--help"}, ".", env).out;
  EXPECT_NE(help.find("Log: " + log), std::string::npos) << help;
  EXPECT_NE(help.find("iconv -f UTF-16LE"), std::string::npos) << help;
  EXPECT_NE(help.find("128 MiB"), std::string::npos) << help;
  EXPECT_EQ(run_cli({"ls", "\\"}, ".", env).exit_code, 0);
  EXPECT_TRUE(std::filesystem::exists(log));  // the session's lines went there
}

}  // namespace
