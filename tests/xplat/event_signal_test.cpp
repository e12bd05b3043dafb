#include "xplat/event_signal.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/fake_clock.h"

namespace {

TEST(EventSignalTest, StartsUnsetAndKeepsItsName) {
  testing_support::FakeClock clock;
  auto signal = xplat::CreateEventSignal(L"Custodex");
  EXPECT_EQ(signal->Name(), L"Custodex");
  EXPECT_FALSE(signal->Wait(30000));
  EXPECT_EQ(clock.TimedOutWaits(), std::vector<std::uint32_t>{30000});
}

TEST(EventSignalTest, OneSetReleasesExactlyOneWait) {
  testing_support::FakeClock clock;
  auto signal = xplat::CreateEventSignal(L"s");
  EXPECT_TRUE(signal->Set());
  EXPECT_TRUE(signal->Set());  // setting a set signal changes nothing
  EXPECT_TRUE(signal->Wait(1000));
  EXPECT_FALSE(signal->Wait(1000));
}

TEST(EventSignalTest, ResetClearsAPendingSet) {
  testing_support::FakeClock clock;
  auto signal = xplat::CreateEventSignal(L"s");
  signal->Set();
  signal->Reset();
  EXPECT_FALSE(signal->Wait(5));
}

TEST(EventSignalTest, SetFromAnotherThreadWakesAWaiter) {
  auto signal = xplat::CreateEventSignal(L"s");
  std::thread setter([&] { signal->Set(); });
  EXPECT_TRUE(signal->Wait(xplat::kInfinite));
  setter.join();
}

}  // namespace
