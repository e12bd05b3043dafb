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

// Counted per minute, whatever the rate: a restart counts for the minute it
// falls in and the 59 after it.
TEST(RestartCountsTest, CountsTheLastHourByTheMinute) {
  constexpr std::uint64_t kMinute = 60 * 1000;
  zav::custody::RestartCounts counts;
  for (int i = 0; i < 100000; ++i) counts.Add(5 * kMinute + 7);
  counts.Add(30 * kMinute);
  counts.Add(64 * kMinute + 59999);
  EXPECT_EQ(counts.InLastHour(5 * kMinute), 100000u);
  EXPECT_EQ(counts.InLastHour(64 * kMinute + 59999), 100002u) << "the minute of the first restart still counts";
  EXPECT_EQ(counts.InLastHour(65 * kMinute), 2u);
  EXPECT_EQ(counts.InLastHour(90 * kMinute), 1u);
  counts.Add(125 * kMinute);  // the slot of minute 5 again, and of 65
  EXPECT_EQ(counts.InLastHour(125 * kMinute), 1u) << "a slot reused an hour on starts from zero";
}

}  // namespace
