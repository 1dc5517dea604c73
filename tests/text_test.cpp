// Text conversions between the wire's UTF-8 and the host's wide strings.
#include "util/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Utf8ToWide, AsciiRunsAndOtherCharactersMixInAnyOrder) {
  EXPECT_EQ(utf8_to_wide(""), L"");
  EXPECT_EQ(utf8_to_wide("plain\\ascii.txt"), L"plain\\ascii.txt");
  EXPECT_EQ(utf8_to_wide("\xC3\xA9t\xC3\xA9"), L"\u00E9t\u00E9");
  EXPECT_EQ(utf8_to_wide("ab\xD0\xA4\xD0\xBE-\xE5\x86\x99"), L"ab\u0424\u043E-\u5199");
}

TEST(Utf8ToWide, AppendsAfterWhatTheStringHolds) {
  std::wstring out = L"\\backup\\";
  append_utf8_as_wide(out, "r\xC3\xA9sum\xC3\xA9.pdf");
  append_utf8_as_wide(out, "");
  append_utf8_as_wide(out, "!");
  EXPECT_EQ(out, L"\\backup\\r\u00E9sum\u00E9.pdf!");
}

TEST(Utf8ToWide, CharactersBeyondTheBasicPlaneSurvive) {
  const std::wstring wide = utf8_to_wide("x\xF0\x9F\x98\x80");
  EXPECT_EQ(to_utf8(wide.c_str()), "x\xF0\x9F\x98\x80");
}

}  // namespace
