#include "logging/line_format.h"

#include <gtest/gtest.h>

namespace {

TEST(LineFormatTest, SystemTextLosesItsLineBreakOnly) {
  EXPECT_EQ(TrimSystemText(std::wstring(L"Access is denied.\r\n")), L"Access is denied.");
  EXPECT_EQ(TrimSystemText(std::wstring(L"ab")), L"ab");
  EXPECT_EQ(TrimSystemText(std::nullopt), L"");
}

TEST(LineFormatTest, PercentSignsInSystemTextsAreNeverFormatted) {
  const std::wstring tricky = L"50% of %s and %n%d %1\r\n";
  EXPECT_EQ(LastErrorLine(5, tricky), L"GetLastError returned: 50% of %s and %n%d %1");
  LineBuffer line = L"copy failed";
  AppendSystemError(line, 5, tricky);
  EXPECT_EQ(std::wstring(line), L"copy failed (System Error (5): 50% of %s and %n%d %1)");
}

TEST(LineFormatTest, SystemErrorCodesAreSignedDecimal) {
  LineBuffer line = L"x";
  AppendSystemError(line, 0x80070005u, std::wstring(L"Denied.\r\n"));
  EXPECT_EQ(std::wstring(line), L"x (System Error (-2147024891): Denied.)");
}

TEST(LineFormatTest, LongLinesAreCutSafelyAtTheLimit) {
  LineBuffer line;
  std::wstring full(kMaxLineChars - 5, L'a');
  std::copy(full.begin(), full.end(), line);
  line[full.size()] = L'\0';
  AppendSystemError(line, 2, std::wstring(3000, L'z') + L"\r\n");
  EXPECT_EQ(std::wstring(line).size(), kMaxLineChars);
  EXPECT_EQ(std::wstring(line).substr(full.size()), L" (Sys");
  EXPECT_EQ(line[kMaxLineChars], L'\0');
  EXPECT_EQ(LastErrorLine(2, std::wstring(5000, L'e')).size(), 2047u);
}

TEST(LineFormatTest, MissingSystemTextNamesTheCode) {
  EXPECT_EQ(LastErrorLine(1234, std::nullopt), L"GetLastError returned: error 1234");
}

}  // namespace
