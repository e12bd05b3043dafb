// This program lives apart from the libraries: "tallyx" cannot be found.

#include <gtest/gtest.h>

#include "logging/logger.h"

namespace {

TEST(MissingTallyxTest, LoggerSaysSoOnceAndDropsEveryLine) {
  ::testing::internal::CaptureStdout();
  CLogger logger(L"Custodex");
  logger.LogMsg(255, L"dropped %ws", L"line");
  logger.LogLastError(255, L"dropped");
  logger.LogSystemError(255, 2, L"dropped");
  logger.LogEventA(255, L"", "dropped");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "tallyx.dll not found.  Logging is disabled.\n");
  EXPECT_TRUE(logger.IsDisabled());
  EXPECT_TRUE(logger.IsFiltered(255, L""));
  EXPECT_EQ(logger.GetBackEndByte(), 0);
  EXPECT_FALSE(logger.TestBackEnd());
  EXPECT_EQ(logger.GetBackEndText(), L"");
}

}  // namespace
