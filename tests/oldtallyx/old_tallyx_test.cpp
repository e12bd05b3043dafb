// Beside this program lies a "tallyx" without "GetTallyxInstance".

#include <gtest/gtest.h>

#include "logging/logger.h"
#include "support/test_environment.h"
#include "xplat/environment.h"

namespace {

TEST(OldTallyxTest, ReportsTheWrongVersionToTheEventLogThenStaysSilent) {
  ::testing::internal::CaptureStdout();
  CLogger logger(L"Custodex");
  logger.LogMsg(255, L"dropped");
  logger.LogEvent(255, L"dropped");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "tallyx.dll!GetTallyxInstance() not found.  Logging is disabled.\n")
      << "the event log took the report";
  EXPECT_TRUE(logger.IsDisabled());
#if !defined(_WIN32)
  EXPECT_EQ(testing_support::ReadFile(xplat::ReadEnvironment(L"CUSTODEX_EVENT_LOG")),
            "DEDedad\terror\t1\tWrong version of tallyx.dll is being used.\n");
#endif
}

}  // namespace
