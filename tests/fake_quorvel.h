// A scripted Quorvel for the tests of the cloud back end: records every call
// with its arguments and answers as scripted. Compiled into the test beside
// the client sources, or on Windows built as a Quorvel.dll of its own that
// exports the script below along with the QV_ functions.
#ifndef BREVANTO_TESTS_FAKE_QUORVEL_H_
#define BREVANTO_TESTS_FAKE_QUORVEL_H_

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "quorvel/Quorvel.h"

struct FakeQuorvel {
  // Every call as "Name(arg, arg, ...)", texts as given, in call order.
  std::vector<std::wstring> calls;
  int result = 0;                    // what the int functions return
  std::int64_t free_space = 0;       // QV_GetFreeSpace
  std::int64_t used_space = 0;       // QV_GetUsedSpace
  std::vector<_cloud_file_record> records;  // QV_GetFileList fills these
  _cloud_file_record info{};                // QV_GetFileInfo copies this
  // Transfers report each (total, completed) pair to the progress function
  // and stop with -7 as soon as it returns non-zero.
  std::vector<std::pair<std::int64_t, std::int64_t>> reports;
  std::vector<long> progress_returns;       // what the progress function said
  std::function<void()> before_report;      // runs before each report
};

// The one fake, reset by each test.
QUORVEL_API FakeQuorvel& fake_quorvel();
QUORVEL_API void reset_fake_quorvel();

// A record with the given texts (UTF-16) and kind, written at the record's
// byte offsets rather than through its declaration, so that the client's
// reading of those offsets is what is tested.
QUORVEL_API _cloud_file_record make_record(const std::u16string& directory, const std::u16string& name,
                               std::uint8_t kind, std::uint64_t size = 0,
                               const std::u16string& create_time = u"",
                               const std::u16string& modify_time = u"");

#endif  // BREVANTO_TESTS_FAKE_QUORVEL_H_
