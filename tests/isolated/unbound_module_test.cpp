// A module whose broker library cannot be found: this program lives apart
// from the libraries, so the search for "Hubrelle" fails.

#include <gtest/gtest.h>

#include "module/zav_module.h"
#include "support/fake_clock.h"

namespace {

using testing_support::FakeClock;

TEST(UnboundModuleTest, RunsWithoutABrokerAndSaysSoOnce) {
  FakeClock clock;
  ::testing::internal::CaptureStdout();
  ZAVModule module(L"Unbound");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Hubrelle.dll not loaded.\n");

  EXPECT_FALSE(module.RegisterEvent(L"Test.Unbound.Event"));
  EXPECT_EQ(module.RegisteredNames().back(), L"Test.Unbound.Event") << "the name is listed all the same";
  EXPECT_FALSE(module.UnregisterEvent(L"Test.Unbound.Event"));
  EXPECT_FALSE(module.HasEvents());
  EXPECT_EQ(module.PullEvent(), nullptr);
  module.ReleaseEvent(nullptr);
  EXPECT_FALSE(module.SendEvent(L"ZAV.Service.UpdatePolicy", 0, nullptr, 2));
}

TEST(UnboundModuleTest, WaitForEventsOnlyEverTimesOut) {
  FakeClock clock;
  ZAVModule module(L"Unbound");
  EXPECT_FALSE(module.WaitForEvents());
  EXPECT_FALSE(module.WaitForEvents());
  EXPECT_EQ(clock.TimedOutWaits(), (std::vector<std::uint32_t>{30000, 30000}));
}

TEST(UnboundModuleTest, PostEventWithRetryStillMakesEveryAttempt) {
  FakeClock clock;
  ZAVModule module(L"Unbound");
  EventData request(L"ZAV.Service", L"RequestPolicy", L"ZAV.Service.ApplyHostPolicy");
  EXPECT_FALSE(module.PostEventWithRetry(request, 30000));
  EXPECT_EQ(clock.Sleeps().size(), 29u);
  EXPECT_EQ(request.Sender, L"Unbound");
}

}  // namespace
