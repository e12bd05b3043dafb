// A module whose broker library cannot be found: this program lives apart
// from the libraries, so the search for "Hubrelle" fails.

#include <gtest/gtest.h>

#include "module/zav_module.h"
#include "support/fake_clock.h"
#include "support/test_environment.h"
#include "xplat/dynamic_library.h"
#include "xplat/text.h"

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

namespace {

using testing_support::ScopedRegistryKey;

// The folder above this program's, where the libraries are.
std::wstring LibraryFolder() {
  std::wstring folder = xplat::ExecutablePath();
  folder = folder.substr(0, folder.find_last_of(L"\\/"));
  return folder.substr(0, folder.find_last_of(L"\\/"));
}

bool Binds() {
  ::testing::internal::CaptureStdout();
  bool bound = ZAVModule(L"Probe").RegisterEvent(L"Test.Probe.Event");
  ::testing::internal::GetCapturedStdout();
  return bound;
}

TEST(LibraryFolderTest, PathValueLeadsTheModuleToTheBroker) {
  ScopedRegistryKey key(testing_support::kAgentKey);
  key.SetText(L"Path", LibraryFolder());
  EXPECT_TRUE(Binds());
  key.SetRaw(L"Path", xplat::kRegExpandSz, xplat::ToUtf16LeBytes(LibraryFolder()) + std::string(2, '\0'));
  EXPECT_TRUE(Binds());
}

TEST(LibraryFolderTest, PathValueWithoutItsTerminatorOrOfAnotherTypeIsIgnored) {
  ScopedRegistryKey key(testing_support::kAgentKey);
  const std::string text = xplat::ToUtf16LeBytes(LibraryFolder());
  key.SetRaw(L"Path", xplat::kRegSz, text);
  EXPECT_FALSE(Binds()) << "no terminating zero";
  key.SetRaw(L"Path", xplat::kRegSz, text + std::string(1, '\0'));
  EXPECT_FALSE(Binds()) << "odd size";
  key.SetRaw(L"Path", xplat::kRegBinary, text + std::string(2, '\0'));
  EXPECT_FALSE(Binds()) << "not a string type";
  key.SetText(L"Path", LibraryFolder() + std::wstring(300, L'x'));
  EXPECT_FALSE(Binds()) << "longer than 259 characters";
}

TEST(LibraryFolderTest, LibraryFolderIsResetAfterTheLoad) {
  {
    ScopedRegistryKey key(testing_support::kAgentKey);
    key.SetText(L"Path", LibraryFolder());
    ASSERT_TRUE(Binds());
  }
  EXPECT_FALSE(xplat::DynamicLibrary::Load(L"Hubrelle").IsLoaded());
}

}  // namespace
