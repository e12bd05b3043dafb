#include "xplat/event_signal.h"

#include <gtest/gtest.h>

#include <thread>

#if !defined(_WIN32)
#include <cerrno>

#include "xplat/posix/posix_event_signal.h"
#endif

#include "support/fake_clock.h"

namespace {

TEST(EventSignalTest, StartsUnsetAndKeepsItsName) {
  testing_support::FakeClock clock;
  auto signal = xplat::CreateEventSignal(L"Custodex");
  EXPECT_EQ(signal->Name(), L"Custodex");
  EXPECT_FALSE(signal->Wait(30000));
  EXPECT_EQ(clock.TimedOutWaits(), std::vector<std::uint32_t>{30000});
}

#if !defined(_WIN32)
// A signal whose eventfd could not be made (no descriptor left) says why and
// still waits its time: a loop on it never spins.
TEST(EventSignalTest, SignalThatCannotBeMadeStillWaitsItsTime) {
  xplat::PosixEventSignal signal(L"Custodex", xplat::FileDescriptor(), EMFILE);
  EXPECT_EQ(signal.CreationError(), static_cast<xplat::ErrorCode>(EMFILE));
  EXPECT_FALSE(signal.Set());
  testing_support::FakeClock clock;
  EXPECT_FALSE(signal.Wait(30000));
  EXPECT_EQ(clock.TimedOutWaits(), std::vector<std::uint32_t>{30000});
}
#endif

TEST(EventSignalTest, OneSetReleasesExactlyOneWait) {
  testing_support::FakeClock clock;
  auto signal = xplat::CreateEventSignal(L"s");
  EXPECT_TRUE(signal->Set());
  EXPECT_TRUE(signal->Set());  // setting a set signal changes nothing
  EXPECT_TRUE(signal->Wait(1000));
  EXPECT_FALSE(signal->Wait(1000));
  EXPECT_TRUE(signal->Set());  // a Set after the release is one of its own
  EXPECT_TRUE(signal->Wait(1000));
}

TEST(EventSignalTest, ResetClearsAPendingSet) {
  testing_support::FakeClock clock;
  auto signal = xplat::CreateEventSignal(L"s");
  signal->Set();
  signal->Reset();
  EXPECT_FALSE(signal->Wait(5));
  signal->Set();
  EXPECT_TRUE(signal->Wait(5));
}

TEST(EventSignalTest, SetFromAnotherThreadWakesAWaiter) {
  auto signal = xplat::CreateEventSignal(L"s");
  std::thread setter([&] { signal->Set(); });
  EXPECT_TRUE(signal->Wait(xplat::kInfinite));
  setter.join();
}

}  // namespace
