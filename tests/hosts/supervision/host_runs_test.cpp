// The runs of each host and the restart back-off that follows from them.

#include "hosts/supervision/host_runs.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(RestartDelayTest, DoublesFromTheSecondQuickExitUpToFiveMinutesAndResetsAfterTenMinutes) {
  unsigned quick = 0;
  std::vector<std::uint32_t> delays;
  for (int i = 0; i < 12; ++i) delays.push_back(zav::custody::RestartDelay(50, quick));
  EXPECT_EQ(delays, (std::vector<std::uint32_t>{0, 1000, 2000, 4000, 8000, 16000, 32000, 64000, 128000, 256000, 300000,
                                                300000}));
  EXPECT_EQ(zav::custody::RestartDelay(10 * 1000, quick), 0u) << "ten seconds of running: at once";
  EXPECT_EQ(zav::custody::RestartDelay(9999, quick), 300000u) << "but the quick exits still count";
  EXPECT_EQ(zav::custody::RestartDelay(10 * 60 * 1000, quick), 0u);
  EXPECT_EQ(quick, 0u) << "ten minutes of running reset them";
  EXPECT_EQ(zav::custody::RestartDelay(9999, quick), 0u);
  EXPECT_EQ(zav::custody::RestartDelay(9999, quick), 1000u);
}

}  // namespace
