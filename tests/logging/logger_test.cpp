#include "logging/logger.h"

#include <gtest/gtest.h>

#include "support/log_file.h"
#include "support/test_environment.h"
#include "xplat/system_error.h"

namespace {

using testing_support::LoggedLine;
using testing_support::LoggedTexts;
using testing_support::ScopedRegistryKey;

std::wstring TestName() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "." + info->name();
  for (char& c : name) c = (c == '/') ? '_' : c;
  return std::wstring(name.begin(), name.end());
}

struct KeywordCase {
  const wchar_t* keyword;
  LogLevel level;
};

class LevelOverrideTest : public ::testing::TestWithParam<KeywordCase> {};

TEST_P(LevelOverrideTest, KeywordSetsTheBackEndLevelInAnyLetterCase) {
  ScopedRegistryKey agent(testing_support::kAgentKey);
  agent.SetText(L"LogLevelOverride", GetParam().keyword);
  CLogger logger(TestName());
  EXPECT_TRUE(logger.QueryBackEnd()) << "the override is on";
  EXPECT_EQ(logger.GetBackEndByte(), GetParam().level);
}

INSTANTIATE_TEST_SUITE_P(Keywords, LevelOverrideTest,
                         ::testing::Values(KeywordCase{L"TRACE", 180}, KeywordCase{L"Always", 255},
                                           KeywordCase{L"all", 1}, KeywordCase{L"maximum", 254},
                                           KeywordCase{L"Critical", 250}, KeywordCase{L"eRRoR", 210},
                                           KeywordCase{L"normal", 200}, KeywordCase{L"DIAGNOSTIC", 190},
                                           KeywordCase{L"verbose", 200}, KeywordCase{L"trace ", 200},
                                           KeywordCase{L"al", 200}));

TEST(LoggerSettingsTest, EmptyOverrideLeavesTheBackEndLevelAlone) {
  ScopedRegistryKey agent(testing_support::kAgentKey);
  CLogger first(TestName());
  first.SetLogLevel(123);
  first.SetLevelOverride(true);
  agent.SetText(L"LogLevelOverride", L"");
  CLogger second(TestName());
  EXPECT_FALSE(second.QueryBackEnd()) << "construction turns the override off";
  second.SetLevelOverride(true);
  EXPECT_EQ(second.GetBackEndByte(), 123) << "SetLogLevel was not called";
  second.SetLevelOverride(false);
}

TEST(LoggerSettingsTest, OverrideOfAnyRegistryTypeIsReadAsText) {
  ScopedRegistryKey agent(testing_support::kAgentKey);
  agent.SetRaw(L"LogLevelOverride", 4 /* REG_DWORD */, std::string("A\0\0\0", 4));
  CLogger logger(TestName());
  EXPECT_TRUE(logger.QueryBackEnd());
  EXPECT_EQ(logger.GetBackEndByte(), 200) << "\"A\" is no keyword";
}

TEST(LoggerSettingsTest, OddLastByteOfTheOverrideIsACharacterOfItsOwn) {
  ScopedRegistryKey agent(testing_support::kAgentKey);
  agent.SetRaw(L"LogLevelOverride", 1 /* REG_SZ */, std::string("t\0r\0a\0c\0e", 9));
  CLogger logger(TestName());
  EXPECT_EQ(logger.GetBackEndByte(), 180) << "\"trac\" and \"e\"";
}

TEST(LoggerSettingsTest, OverrideLevelDropsLessImportantLines) {
  ScopedRegistryKey agent(testing_support::kAgentKey);
  agent.SetText(L"LogLevelOverride", L"error");
  CLogger logger(TestName());
  logger.LogMsg(200, L"normal line");
  logger.LogMsg(210, L"error line");
  logger.SetLevelOverride(false);
  EXPECT_EQ(LoggedTexts(TestName()), std::vector<std::wstring>{L"error line"});
}

struct FilterCase {
  const wchar_t* filter;
  bool filtered;
};

class NameFilterTest : public ::testing::TestWithParam<FilterCase> {};

TEST_P(NameFilterTest, FilterMatchesTheLoggerNameAsASubstring) {
  ScopedRegistryKey agent(testing_support::kAgentKey);
  agent.SetText(L"LogLevelFilter", GetParam().filter);
  CLogger logger(L"Custodex");
  EXPECT_EQ(logger.IsFiltered(200, L"x"), GetParam().filtered) << "filter \"" << GetParam().filter << "\"";
}

INSTANTIATE_TEST_SUITE_P(Filters, NameFilterTest,
                         ::testing::Values(FilterCase{L"", false}, FilterCase{L"Custodex", false},
                                           FilterCase{L"Broker;Service", true}, FilterCase{L"!Custodex", true},
                                           FilterCase{L"!Broker", false}, FilterCase{L"!CustodexHost", true},
                                           FilterCase{L"Broker Custodex", false}, FilterCase{L"custodex", true},
                                           FilterCase{L"Custo", true}, FilterCase{L"Service!", false}));

TEST(LoggerTest, FilteredLinesNeverReachTheBackEnd) {
  ScopedRegistryKey agent(testing_support::kAgentKey);
  agent.SetText(L"LogLevelFilter", L"!" + TestName());
  CLogger logger(TestName());
  logger.LogMsg(255, L"dropped");
  logger.LogLastError(255, L"dropped");
  logger.LogEventA(255, L"", "dropped");
  EXPECT_TRUE(LoggedTexts(TestName()).empty());
}

TEST(LoggerTest, FormatsWithWideArgumentsAndWritesLevelAndName) {
  CLogger logger(TestName());
  logger.LogMsg(190, L"StartProcess: %ws started as %d", L"QVH-Host.exe", 42);
  logger.LogEvent(250, L"event %ws", L"text");
  const auto lines = testing_support::LoggedLines(TestName());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, 190);
  EXPECT_EQ(lines[0].text, L"StartProcess: QVH-Host.exe started as 42");
  EXPECT_EQ(lines[1].level, 250);
  EXPECT_EQ(lines[1].text, L"event text");
}

TEST(LoggerTest, LongLineIsCutAtExactly2048Characters) {
  CLogger logger(TestName());
  const std::wstring longText(3000, L'x');
  logger.LogMsg(200, L"%ws", longText.c_str());
  logger.LogMsg(200, L"%ws", longText.substr(0, 2048).c_str());
  const auto texts = LoggedTexts(TestName());
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], std::wstring(2048, L'x'));
  EXPECT_EQ(texts[1], std::wstring(2048, L'x'));
}

TEST(LoggerTest, LogLastErrorWritesTheLineThenTheSystemText) {
  CLogger logger(TestName());
  xplat::SetLastError(2);
  logger.LogLastError(210, L"StartProcess: Copy of QVHost to %ws failed", L"QVH-A.exe");
  std::wstring expected = xplat::SystemMessage(2).value_or(L"??");
  expected.resize(expected.size() - 2);
  EXPECT_EQ(LoggedTexts(TestName()), (std::vector<std::wstring>{L"StartProcess: Copy of QVHost to QVH-A.exe failed",
                                                                L"GetLastError returned: " + expected}));

  // Each code keeps its own text, however often the logger has seen others.
  std::wstring denied = xplat::SystemMessage(5).value_or(L"??");
  denied.resize(denied.size() - 2);
  for (const xplat::ErrorCode code : {5u, 2u, 5u}) {
    xplat::SetLastError(code);
    logger.LogLastError(210, L"again");
  }
  const auto texts = LoggedTexts(TestName());
  ASSERT_EQ(texts.size(), 8u);
  EXPECT_EQ(texts[3], L"GetLastError returned: " + denied);
  EXPECT_EQ(texts[5], L"GetLastError returned: " + expected);
  EXPECT_EQ(texts[7], L"GetLastError returned: " + denied);
}

TEST(LoggerTest, LogSystemErrorWritesOneLine) {
  CLogger logger(TestName());
  logger.LogSystemError(210, 5, L"Delete of %ws failed", L"QVH-A.exe");
  std::wstring expected = xplat::SystemMessage(5).value_or(L"??");
  expected.resize(expected.size() - 2);
  EXPECT_EQ(LoggedTexts(TestName()),
            std::vector<std::wstring>{L"Delete of QVH-A.exe failed (System Error (5): " + expected + L")"});
}

TEST(LoggerTest, PercentSignsInArgumentsAreNotFormattedAgain) {
  CLogger logger(TestName());
  logger.LogMsg(200, L"%ws", L"100% %s %n");
  logger.LogMsgA(200, L"%ws", "50% %d");
  EXPECT_EQ(LoggedTexts(TestName()), (std::vector<std::wstring>{L"100% %s %n", L"50% %d"}));
}

TEST(LoggerTest, NarrowTextsAreConvertedAndANullTextStaysNull) {
  CLogger logger(TestName());
  logger.LogMsgA(200, L"value: %ws", "plain");
  logger.LogMsgA(200, L"value: %ws", nullptr);
  logger.LogEventA(200, L"format %d unused", "as it is");
  logger.LogEventA(200, L"", nullptr);
  EXPECT_EQ(LoggedTexts(TestName()),
            (std::vector<std::wstring>{L"value: plain", L"value: (null)", L"as it is", L"(null)"}));
}

TEST(LoggerTest, MissingFormatBecomesTheExceptionText) {
  CLogger logger(TestName());
  logger.LogMsg(200, nullptr);
  logger.LogEvent(200, nullptr);
  logger.LogLastError(200, nullptr);
  logger.LogSystemError(200, 2, nullptr);
  const auto texts = LoggedTexts(TestName());
  ASSERT_EQ(texts.size(), 5u);
  EXPECT_EQ(texts[0], L"Exception in LogMsg");
  EXPECT_EQ(texts[1], L"Exception in LogEvent");
  EXPECT_EQ(texts[2], L"Exception in LogLastError");
  EXPECT_EQ(texts[4], L"Exception in LogSystemError") << "nothing is appended to a failed line";
}

#if !defined(_WIN32)
// glibc cannot convert these narrow bytes in the C locale; msvcrt has no
// such failure to provoke.
TEST(LoggerTest, ArgumentsThatCannotBeFormattedBecomeTheExceptionText) {
  CLogger logger(TestName());
  logger.LogMsg(200, L"%hs", "\xff");
  logger.LogEvent(200, L"before %hs after", "\xff");
  logger.LogSystemError(200, 2, L"%hs", "\xff");
  EXPECT_EQ(LoggedTexts(TestName()), (std::vector<std::wstring>{L"Exception in LogMsg", L"Exception in LogEvent",
                                                                L"Exception in LogSystemError"}));
}
#endif

}  // namespace
