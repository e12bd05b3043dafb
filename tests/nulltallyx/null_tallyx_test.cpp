// Beside this program lies a "tallyx" whose "GetTallyxInstance" returns null.

#include <gtest/gtest.h>

#include "logging/logger.h"
#include "support/test_environment.h"
#include "xplat/system_error.h"

namespace {

using testing_support::ScopedRegistryKey;

TEST(NullTallyxTest, LoggerStaysEnabledAndDropsEveryLineQuietly) {
  ScopedRegistryKey agent(testing_support::kAgentKey);
  agent.SetText(L"LogLevelOverride", L"trace");
  ::testing::internal::CaptureStdout();
  CLogger logger(L"Custodex");
  EXPECT_FALSE(logger.IsDisabled());
  EXPECT_FALSE(logger.IsFiltered(255, L""));
  logger.LogMsg(255, L"line %ws", L"to nobody");
  logger.LogEvent(255, L"event");
  logger.LogMsgA(255, L"%ws", "narrow");
  logger.LogEventA(255, L"", "narrow");
  xplat::SetLastError(2);
  logger.LogLastError(255, L"last error");
  logger.LogSystemError(255, 5, L"system error");
  logger.SetLogLevel(180);
  logger.SetLevelOverride(true);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << "nothing is printed for a missing back-end";
  EXPECT_EQ(logger.GetBackEndByte(), 0);
  EXPECT_FALSE(logger.QueryBackEnd());
  EXPECT_EQ(logger.CallBackEnd(), 0u);
  EXPECT_EQ(logger.GetBackEndText(), L"");
}

TEST(NullTallyxTest, NameFilterIsStillReadFromTheRegistry) {
  ScopedRegistryKey agent(testing_support::kAgentKey);
  agent.SetText(L"LogLevelFilter", L"!Custodex");
  CLogger excluded(L"Custodex");
  EXPECT_TRUE(excluded.IsFiltered(255, L""));
  CLogger other(L"Other");
  EXPECT_FALSE(other.IsFiltered(255, L""));
}

}  // namespace
