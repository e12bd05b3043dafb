// The runs of each host and the restart back-off that follows from them.

#include "hosts/supervision/host_runs.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/fake_clock.h"

namespace {

using zav::custody::HostRuns;

// The delays after each of a series of runs of ranMs, for a host started
// again as soon as it may.
std::vector<std::uint32_t> DelaysAfterRuns(HostRuns& runs, std::uint32_t ranMs, int count) {
  std::vector<std::uint32_t> delays;
  for (int i = 0; i < count; ++i) {
    runs.Started(L"Host", 4711, false);
    xplat::Sleep(ranMs);
    delays.push_back(runs.Ended(L"Host", 3).delayMs);
    EXPECT_EQ(runs.IsBackingOff(L"Host"), delays.back() != 0);
    EXPECT_EQ(runs.WaitMs(30000), delays.back() != 0 ? delays.back() : 30000u);
    xplat::Sleep(delays.back());
    EXPECT_FALSE(runs.IsBackingOff(L"Host"));
    EXPECT_EQ(runs.AnyStartDue(), delays.back() != 0);
  }
  return delays;
}

// An end seen before a pass takes it keeps its host out of the wait until
// the pass takes it, the host starts again or goes.
TEST(HostRunsTest, AnEndSeenLastsUntilItIsTakenOrItsHostStartsOrGoes) {
  using Step = void (*)(HostRuns&);
  const Step clears[] = {
      [](HostRuns& runs) { runs.Ended(L"Host", 3); },
      [](HostRuns& runs) { runs.Started(L"Host", 4712, false); },
      [](HostRuns& runs) { runs.Forget(L"Host"); },
  };
  HostRuns runs(false, false);
  for (const Step clear : clears) {
    runs.Started(L"Host", 4711, false);
    EXPECT_FALSE(runs.IsEndSeen(L"Host"));
    runs.EndSeen(L"Host");
    EXPECT_TRUE(runs.IsEndSeen(L"Host"));
    EXPECT_FALSE(runs.IsEndSeen(L"Other"));
    clear(runs);
    EXPECT_FALSE(runs.IsEndSeen(L"Host"));
  }
}

// No host starts more than once a second, with the back-off or without it.
TEST(HostRunsTest, StartsOfOneHostAreASecondApartAtLeast) {
  testing_support::FakeClock clock;
  struct Case {
    bool backOff;
    bool spaced;
    std::uint32_t ranMs;
    std::vector<std::uint32_t> delays;
  };
  const Case cases[] = {
      {false, true, 2, {998, 998, 998}},
      {false, true, 1000, {0, 0, 0}},
      {true, true, 0, {1000, 1000, 2000, 4000}},
      {true, false, 0, {0, 1000, 2000, 4000}},
      {false, false, 0, {0, 0}},
  };
  for (const Case& test : cases) {
    HostRuns runs(test.backOff, test.spaced);
    EXPECT_EQ(DelaysAfterRuns(runs, test.ranMs, static_cast<int>(test.delays.size())), test.delays)
        << "back-off " << test.backOff << ", spaced " << test.spaced << ", runs of " << test.ranMs << " ms";
  }
}

// A failed start is said once until a start succeeds or the error changes,
// and is not tried again within a second; a delayed one waits again with
// the back-off, and without it for the next application of the policy.
TEST(HostRunsTest, FailedStartIsSaidOnceAndNotTriedAgainWithinASecond) {
  testing_support::FakeClock clock;
  for (const bool backOff : {true, false}) {
    HostRuns runs(backOff, true);
    DelaysAfterRuns(runs, 0, 2);
    EXPECT_TRUE(runs.StartFailed(L"Host", 5));
    EXPECT_EQ(runs.AnyStartDue(), false);
    EXPECT_EQ(runs.IsBackingOff(L"Host"), backOff);
  }
  HostRuns runs(false, false);
  EXPECT_TRUE(runs.StartFailed(L"Host", 5));
  clock.Sleep(999);
  EXPECT_FALSE(runs.MayTryStart(L"Host"));
  clock.Sleep(1);
  EXPECT_TRUE(runs.MayTryStart(L"Host"));
  EXPECT_FALSE(runs.StartFailed(L"Host", 5)) << "said already";
  EXPECT_TRUE(runs.StartFailed(L"Host", 2)) << "another error";
  runs.Started(L"Host", 1, false);
  EXPECT_TRUE(runs.MayTryStart(L"Host"));
  EXPECT_TRUE(runs.StartFailed(L"Host", 2)) << "a failure after a start";
}

// Five quick ends in a row begin a crash loop, said once; a run of ten
// seconds breaks the row. Said the same with the back-off and without it.
TEST(HostRunsTest, ACrashLoopBeginsAtTheFifthQuickEndInARow) {
  testing_support::FakeClock clock;
  struct Case {
    std::vector<std::uint32_t> runsMs;
    std::vector<std::size_t> began;  // the ends that began a loop
  };
  const Case cases[] = {
      {{0, 0, 0, 0, 0, 0, 0}, {4}},
      {{9999, 9999, 9999, 9999, 9999}, {4}},
      {{0, 0, 0, 0, 10000, 0, 0, 0, 0}, {}},
      {{0, 0, 0, 0, 10000, 0, 0, 0, 0, 0}, {9}},
  };
  for (const bool backOff : {false, true}) {
    for (const Case& test : cases) {
      HostRuns runs(backOff, backOff);
      std::vector<std::size_t> began;
      for (std::size_t end = 0; end < test.runsMs.size(); ++end) {
        runs.Started(L"Host", 1, false);
        xplat::Sleep(test.runsMs[end]);
        if (runs.Ended(L"Host", 3).crashLoopBegan) began.push_back(end);
      }
      EXPECT_EQ(began, test.began) << "back-off " << backOff << ", case " << (&test - cases);
    }
  }
}

// A crash-looping host has recovered once a run has lasted a minute, never
// while it waits to start; the loop's wait ends when the minute is up.
TEST(HostRunsTest, ACrashLoopingHostRecoversAfterAMinuteOfRunning) {
  testing_support::FakeClock clock;
  HostRuns runs(true, true);
  HostRuns::End end;
  for (int quick = 0; quick < 8; ++quick) {
    runs.Started(L"Host", 1, false);
    end = runs.Ended(L"Host", 3);
  }
  ASSERT_EQ(end.delayMs, 64000u);
  xplat::Sleep(61000);
  EXPECT_TRUE(runs.TakeRecovered().empty()) << "backing off, not running";
  xplat::Sleep(3000);
  runs.Started(L"Host", 1, false);
  EXPECT_EQ(runs.WaitMs(600000), 60000u);
  xplat::Sleep(59999);
  EXPECT_TRUE(runs.TakeRecovered().empty());
  xplat::Sleep(1);
  EXPECT_EQ(runs.TakeRecovered(), std::vector<std::wstring>{L"Host"});
  EXPECT_TRUE(runs.TakeRecovered().empty()) << "said once";
  EXPECT_EQ(runs.WaitMs(600000), 600000u);
}

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

// A run lasts until its end was seen, however late a pass takes it; a
// delay counts from that end.
TEST(HostRunsTest, RunIsTimedToItsEndAsSeen) {
  testing_support::FakeClock clock;
  HostRuns runs(true, true);
  for (const std::uint32_t delayLeft : {498u, 500u}) {
    runs.Started(L"Host", 4711, false);
    xplat::Sleep(2);
    runs.EndSeen(L"Host");
    xplat::Sleep(500);
    const HostRuns::End end = runs.Ended(L"Host", 3);
    EXPECT_EQ(end.ranMs, 2u);
    EXPECT_EQ(end.delayMs, delayLeft) << "counted from the end, 500 ms ago";
    xplat::Sleep(delayLeft);
  }
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
