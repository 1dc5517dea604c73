#include "client/Brevanto.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "tests/trace_reader.h"
#include "util/module_path.h"
#include "util/text.h"

namespace {

// A fresh log file beside the test executable.
class ClogExTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    wide_path_ = executable_directory() + L"clogex_" + utf8_to_wide(info->name()) + L".log";
    path_ = to_utf8(wide_path_.c_str());
    std::remove(path_.c_str());
  }
  void TearDown() override { std::remove(path_.c_str()); }

  std::string text() const { return utf16le_to_utf8(read_file_bytes(path_)); }

  std::wstring wide_path_;
  std::string path_;
};

TEST_F(ClogExTest, LinesCarryTheStampAndEndInBlankCarriageReturnLineFeed) {
  ClogEx log;
  ASSERT_TRUE(log.create(wide_path_.c_str()));
  log.write(L"Call %s(%d)", L"QV_GetFileInfo", 7);
  log.write(L"second");
  // "[yyyy/mm/dd hh:mm:ss:cc] : " is 27 characters.
  const std::regex line(R"(^\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}:\d{2}\] : )");
  const std::string all = text();
  const std::size_t split = all.find("\r\n") + 2;
  EXPECT_TRUE(std::regex_search(all, line));
  EXPECT_EQ(all.substr(27, split - 27), "Call QV_GetFileInfo(7) \r\n");
  EXPECT_EQ(all.substr(split + 27), "second \r\n");
  // No byte order mark.
  EXPECT_EQ(all[0], '[');
}

TEST_F(ClogExTest, AppendsAtTheEndAfterOtherWriters) {
  ClogEx first;
  ClogEx second;
  ASSERT_TRUE(first.create(wide_path_.c_str()));
  ASSERT_TRUE(second.create(wide_path_.c_str()));
  first.write(L"one");
  second.write(L"two");
  first.write(L"three");
  const std::string all = text();
  EXPECT_LT(all.find("one"), all.find("two"));
  EXPECT_LT(all.find("two"), all.find("three"));
  EXPECT_EQ(all.size(), 3u * 27 + std::string("one \r\ntwo \r\nthree \r\n").size());
}

std::wstring repeat(const std::wstring& text, int times) {
  std::wstring out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

TEST_F(ClogExTest, LongMessagesAreCutAt4093Utf16UnitsBetweenCharacters) {
  // U+1F600 takes two UTF-16 units in the file on every platform.
  const std::wstring pair = L"\U0001F600";
  const struct {
    std::wstring message;
    std::wstring kept;
  } cases[] = {
      {std::wstring(5000, L'm'), std::wstring(4093, L'm')},
      {std::wstring(4091, L'm') + pair + L"after", std::wstring(4091, L'm') + pair},
      {std::wstring(4092, L'm') + pair, std::wstring(4092, L'm')},  // not half a pair
      {std::wstring(4092, L'm') + L"\u00e9z", std::wstring(4092, L'm') + L"\u00e9"},
      {repeat(pair, 2047), repeat(pair, 2046)},  // 4094 units: one pair goes
  };
  for (const auto& c : cases) {
    std::remove(path_.c_str());
    ClogEx log;
    ASSERT_TRUE(log.create(wide_path_.c_str()));
    log.write(L"%s", c.message.c_str());
    EXPECT_EQ(text().substr(27), to_utf8(c.kept.c_str()) + " \r\n") << c.message.size();
  }
}

TEST_F(ClogExTest, WithoutAFileNothingIsWritten) {
  ClogEx log;
  log.write(L"dropped");
  EXPECT_FALSE(log.create(L""));  // cannot be opened
  log.write(L"dropped");
  EXPECT_EQ(read_file_bytes(path_), "");
}

#ifndef _WIN32
TEST_F(ClogExTest, AFileBeyondFourGigabytesIsAppendedTo) {
  // A sparse file: 4 GiB and a bit, costing no disk.
  {
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(::ftruncate(::fileno(f), (4ll << 30) + 10), 0);
    std::fclose(f);
  }
  ClogEx log;
  ASSERT_TRUE(log.create(wide_path_.c_str()));
  log.write(L"tail");
  struct stat st;
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, (4ll << 30) + 10 + 2 * 34);  // one line at the end
  std::FILE* f = std::fopen(path_.c_str(), "rb");
  char head[8] = {1};
  ASSERT_EQ(std::fread(head, 1, sizeof(head), f), sizeof(head));
  std::fclose(f);
  EXPECT_EQ(std::string(head, sizeof(head)), std::string(8, '\0'));  // the start untouched
}
#endif

TEST_F(ClogExTest, CopiesHoldTheirOwnHandle) {
  ClogEx copy;
  {
    ClogEx original;
    ASSERT_TRUE(original.create(wide_path_.c_str()));
    copy = original;
    ClogEx constructed(original);
    constructed.write(L"a");
  }  // the original and the constructed copy close only their own handles
  copy.write(L"b");
  const std::string all = text();
  EXPECT_NE(all.find("a \r\n"), std::string::npos);
  EXPECT_NE(all.find("b \r\n"), std::string::npos);
}

}  // namespace
