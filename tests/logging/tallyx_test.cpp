// The logging library stand-in, driven through CLogger as the module does.

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "logging/logger.h"
#include "support/log_file.h"
#include "support/test_environment.h"
#include "xplat/environment.h"

namespace {

namespace fs = std::filesystem;

TEST(TallyxTest, ReportsItsLogFileAndCountsLines) {
  CLogger logger(L"TallyxCount");
  EXPECT_EQ(fs::path(logger.GetBackEndText()), fs::path(xplat::ReadEnvironment(L"TALLYX_LOG_FILE")));
  EXPECT_TRUE(logger.TestBackEnd());
  const std::uintptr_t before = logger.CallBackEnd();
  logger.LogMsg(200, L"one");
  logger.LogMsg(200, L"two");
  EXPECT_EQ(logger.CallBackEnd(), before + 2);
}

TEST(TallyxTest, LinesFromManyThreadsArriveWholeAndInEachThreadsOrder) {
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t] {
      CLogger logger(L"TallyxThread" + std::to_wstring(t));
      for (int i = 0; i < kLines; ++i) logger.LogMsg(200, L"line %d of thread %d", i, t);
    });
  }
  for (std::thread& writer : writers) writer.join();
  for (int t = 0; t < kThreads; ++t) {
    const auto texts = testing_support::LoggedTexts(L"TallyxThread" + std::to_wstring(t));
    ASSERT_EQ(texts.size(), static_cast<std::size_t>(kLines));
    for (int i = 0; i < kLines; ++i) {
      EXPECT_EQ(texts[i], L"line " + std::to_wstring(i) + L" of thread " + std::to_wstring(t));
    }
  }
}

TEST(TallyxTest, RotatesAtTheSizeLimitKeepingTheNewestFiles) {
  CLogger logger(L"TallyxRotate");
  const fs::path log = logger.GetBackEndText();
  auto numbered = [&](int n) { return fs::path(log.native() + fs::path("." + std::to_string(n)).native()); };
  logger.SetBackEndValue(600);
  logger.SetBackEndByte(2);
  for (int i = 0; i < 40; ++i) logger.LogMsg(200, L"rotation line %02d with some padding text", i);
  logger.SetBackEndValue(10u << 20);
  logger.SetBackEndByte(3);

  EXPECT_TRUE(fs::exists(numbered(1)));
  EXPECT_TRUE(fs::exists(numbered(2)));
  EXPECT_FALSE(fs::exists(numbered(3)));
  EXPECT_LE(fs::file_size(log), 600u);
  const auto current = testing_support::LoggedTexts(L"TallyxRotate");
  ASSERT_FALSE(current.empty());
  EXPECT_EQ(current.back(), L"rotation line 39 with some padding text");
  const std::string previous = testing_support::ReadFile(numbered(1).wstring());
  EXPECT_NE(previous.find("rotation line"), std::string::npos);
  EXPECT_EQ(previous.back(), '\n') << "rotation never splits a line";
}

}  // namespace
