#include "xplat/format.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cwchar>
#include <optional>

namespace {

// The formatted text, or "<failed>" with the buffer left an empty text.
std::wstring Format(std::size_t maxChars, const wchar_t* format, ...) {
  std::wstring buffer(maxChars + 1, L'#');
  va_list args;
  va_start(args, format);
  const std::optional<std::size_t> length = xplat::FormatWide(buffer.data(), maxChars, format, args);
  va_end(args);
  EXPECT_EQ(buffer[length.value_or(0)], L'\0');
  return length ? buffer.substr(0, *length) : L"<failed>";
}

TEST(FormatWideTest, FollowsTheWindowsConventionsOnEveryPlatform) {
  EXPECT_EQ(Format(100, L"%ws|%s|%ls", L"wide", L"also wide", L"long wide"), L"wide|also wide|long wide");
  EXPECT_EQ(Format(100, L"%S|%hs", "narrow", "short narrow"), L"narrow|short narrow");
  EXPECT_EQ(Format(100, L"%d %u %x %5.2f", -3, 7u, 255, 2.5), L"-3 7 ff  2.50");
  EXPECT_EQ(Format(100, L"%I64d %lld", static_cast<std::int64_t>(-1099511627776LL), 5LL), L"-1099511627776 5");
  EXPECT_EQ(Format(100, L"%wc%c 100%%", L'x', L'y'), L"xy 100%");
  EXPECT_EQ(Format(100, L"%-4ws|%4ws|", L"ab", L"cd"), L"ab  |  cd|");
}

// Formats are remembered by address: a buffer used again with other text
// must not be formatted with the old text's conventions.
TEST(FormatWideTest, AFormatBufferReusedWithOtherTextIsReadAfresh) {
  wchar_t format[16] = L"%ws|%S";
  EXPECT_EQ(Format(100, format, L"wide", "narrow"), L"wide|narrow");
  std::wcscpy(format, L"%S|%ws");
  EXPECT_EQ(Format(100, format, "narrow", L"wide"), L"narrow|wide");
  std::wcscpy(format, L"%I64d");
  EXPECT_EQ(Format(100, format, static_cast<std::int64_t>(1) << 40), L"1099511627776");
}

TEST(FormatWideTest, CutsALongResultAtTheLimitAndTerminatesIt) {
  const std::wstring longText(5000, L'x');
  EXPECT_EQ(Format(2048, L"%ws", longText.c_str()).size(), 2048u);
  EXPECT_EQ(Format(4, L"abc%ws", L"def"), L"abcd");
  EXPECT_EQ(Format(3, L"abc"), L"abc");
}

#if !defined(_WIN32)
TEST(FormatWideTest, AFailedConversionIsNoCutLine) {
  EXPECT_EQ(Format(2048, L"%hs", "\xff"), L"<failed>") << "not convertible in the C locale";
  EXPECT_EQ(Format(2, L"abc%hs", "\xff"), L"<failed>") << "a failure is no cut, however long";
}
#endif

TEST(FormatWideTest, NullStringArgumentsPrintAsNull) {
  EXPECT_EQ(Format(100, L"[%ws]", static_cast<const wchar_t*>(nullptr)), L"[(null)]");
}

}  // namespace
