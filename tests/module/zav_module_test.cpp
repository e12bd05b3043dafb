#include "module/zav_module.h"

#include <gtest/gtest.h>

#include <thread>

#include "module/broker_binding.h"
#include "support/broker_journal.h"
#include "support/fake_clock.h"

namespace {

using testing_support::FakeClock;
using testing_support::JournalOf;

// A listener beside the module, as another agent component would be.
class Listener {
 public:
  explicit Listener(std::wstring fullName) : name(std::move(fullName)), signal(xplat::CreateEventSignal(L"listener")) {
    binding.Queue()->Register(name, *signal);
  }
  ~Listener() { binding.Queue()->Unregister(name, *signal); }
  std::unique_ptr<EventData, std::function<void(EventData*)>> Pull() {
    return {binding.Queue()->Pull(*signal), [this](EventData* r) { binding.Queue()->Release(r); }};
  }
  BrokerBinding binding;

 private:
  std::wstring name;
  std::unique_ptr<xplat::EventSignal> signal;
};

bool Deliver(const std::wstring& fullName) {
  BrokerBinding binding;
  return binding.Send(fullName, 0, nullptr, EventCode::Default, L"Test");
}

TEST(ZAVModuleTest, ConstructorSubscribesToTerminationAndItsUpgrade) {
  FakeClock clock;
  ZAVModule module(L"Construct");
  EXPECT_EQ(module.WaitTimeout(), 30000);
  EXPECT_EQ(module.RegisteredNames(),
            (std::vector<std::wstring>{L"ZAV.Service.TerminateThread", L"ZAV.Upgrade.Construct"}));
  EXPECT_TRUE(Deliver(L"ZAV.Upgrade.Construct"));
  EXPECT_TRUE(module.HasEvents());
  EventData* record = module.PullEvent();
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->Category, L"ZAV.Upgrade");
  EXPECT_EQ(record->Name, L"Construct");
  module.ReleaseEvent(record);
  EXPECT_FALSE(module.HasEvents());
  EXPECT_EQ(module.PullEvent(), nullptr);
}

TEST(ZAVModuleTest, DestructorUnregistersBaseNamesThenEveryListedNameInOrder) {
  {
    ZAVModule module(L"Teardown");
    module.RegisterEvent(L"Test.Teardown.Twice");
    module.RegisterEvent(L"Test.Teardown.Twice");
    module.UnregisterEvent(L"Test.Teardown.Twice");
    EXPECT_EQ(module.RegisteredNames().size(), 4u) << "unregistering keeps the list";
    testing_support::ClearJournal();
  }
  EXPECT_EQ(JournalOf(L"Teardown"), (std::vector<std::wstring>{
                                        L"-ZAV.Service.TerminateThread",
                                        L"-ZAV.Upgrade.Teardown",
                                        L"-ZAV.Service.TerminateThread",
                                        L"-ZAV.Upgrade.Teardown",
                                        L"-Test.Teardown.Twice",
                                        L"-Test.Teardown.Twice",
                                    }));
}

TEST(ZAVModuleTest, WaitForEventsReturnsAtOnceWhenSomethingIsQueued) {
  FakeClock clock;
  ZAVModule module(L"Queued");
  ASSERT_TRUE(Deliver(L"ZAV.Service.TerminateThread"));
  EXPECT_TRUE(module.WaitForEvents());
  EXPECT_TRUE(clock.TimedOutWaits().empty());
}

TEST(ZAVModuleTest, WaitForEventsTimesOutAfterTheWaitTimeout) {
  FakeClock clock;
  ZAVModule module(L"Idle");
  EXPECT_FALSE(module.WaitForEvents());
  module.SetWaitTimeout(500);
  EXPECT_FALSE(module.WaitForEvents());
  EXPECT_EQ(clock.TimedOutWaits(), (std::vector<std::uint32_t>{30000, 500}));
}

TEST(ZAVModuleTest, SignalWithoutQueuedEventsLeadsToAnotherFullWait) {
  FakeClock clock;
  ZAVModule module(L"Stale");
  ASSERT_TRUE(Deliver(L"ZAV.Service.TerminateThread"));
  module.ReleaseEvent(module.PullEvent());  // the signal stays set, the queue is empty
  EXPECT_FALSE(module.WaitForEvents());
  EXPECT_EQ(clock.TimedOutWaits(), std::vector<std::uint32_t>{30000});
}

struct RetryCase {
  std::uint32_t timeoutMs;
  std::size_t sleeps;
};

class PostEventWithRetryTest : public ::testing::TestWithParam<RetryCase> {};

TEST_P(PostEventWithRetryTest, FailingPostIsRetriedOncePerSecondOfTheTimeout) {
  FakeClock clock;
  ZAVModule module(L"Retry");
  EventData record(L"Test.Nobody", L"Listens", L"");
  EXPECT_FALSE(module.PostEventWithRetry(record, GetParam().timeoutMs));
  EXPECT_EQ(clock.Sleeps(), std::vector<std::uint32_t>(GetParam().sleeps, 1000));
}

INSTANTIATE_TEST_SUITE_P(Timeouts, PostEventWithRetryTest,
                         ::testing::Values(RetryCase{0, 0}, RetryCase{999, 0}, RetryCase{1999, 0}, RetryCase{2000, 1},
                                           RetryCase{30000, 29}));

TEST(ZAVModuleTest, PostEventWithRetrySucceedsAtOnceAndSignsTheRecord) {
  FakeClock clock;
  Listener listener(L"ZAV.Service.RequestPolicy");
  ZAVModule module(L"Signer");
  EventData request(L"ZAV.Service", L"RequestPolicy", L"ZAV.Service.ApplyHostPolicy");
  request.Sender = L"Someone else";
  EXPECT_TRUE(module.PostEventWithRetry(request, 30000));
  EXPECT_TRUE(clock.Sleeps().empty());
  EXPECT_EQ(request.Sender, L"Signer");
  auto received = listener.Pull();
  ASSERT_NE(received, nullptr);
  EXPECT_EQ(received->Sender, L"Signer");
  EXPECT_EQ(received->Parameter, L"ZAV.Service.ApplyHostPolicy");
}

TEST(ZAVModuleTest, PostEventWithRetrySucceedsOnceSomebodySubscribes) {
  FakeClock clock;
  ZAVModule module(L"Late");
  unsigned char callers[4] = {'l', 'a', 't', 'e'};
  EventData record(L"Test.Late", L"Post", L"");
  record.DataLength = 4;
  record.Data = callers;
  std::unique_ptr<Listener> listener;
  std::vector<unsigned char*> dataWhileSleeping;
  clock.onSleep = [&](std::uint32_t) {
    dataWhileSleeping.push_back(record.Data);
    if (!listener) listener = std::make_unique<Listener>(L"Test.Late.Post");
  };
  EXPECT_TRUE(module.PostEventWithRetry(record, 30000));
  EXPECT_EQ(clock.Sleeps(), std::vector<std::uint32_t>{1000}) << "two attempts";
  EXPECT_EQ(dataWhileSleeping, std::vector<unsigned char*>{callers}) << "the failed attempt's copy is gone";
  EXPECT_NE(record.Data, callers) << "the record holds the posted copy";
  if (record.Data == callers) record.Data = nullptr;
  ASSERT_NE(listener, nullptr);
  auto received = listener->Pull();
  ASSERT_NE(received, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(received->Data), received->DataLength), "late");
  EXPECT_EQ(listener->Pull(), nullptr);
}

TEST(ZAVModuleTest, FailedRetriesLeaveTheCallersDataInPlace) {
  FakeClock clock;
  ZAVModule module(L"Keeper");
  EventData record(L"Test.Nobody", L"Listens", L"");
  record.DataLength = 4;
  record.Data = new unsigned char[4]{'d', 'a', 't', 'a'};
  unsigned char* original = record.Data;
  EXPECT_FALSE(module.PostEventWithRetry(record, 3000));
  EXPECT_EQ(record.Data, original);
  EXPECT_EQ(clock.Sleeps().size(), 2u);
}

TEST(ZAVModuleTest, SendEventBuildsTheRecordFromTheFullName) {
  Listener listener(L"ZAV.Service.UnloadModuleForHosting");
  ZAVModule module(L"Sender");
  const char bytes[] = "abc";
  EXPECT_TRUE(module.SendEvent(L"ZAV.Service.UnloadModuleForHosting", 3, bytes, 2));
  EXPECT_FALSE(module.SendEvent(L"ZAV.Service.UnloadModuleForHosting", 3, nullptr, 2));
  auto received = listener.Pull();
  ASSERT_NE(received, nullptr);
  EXPECT_EQ(received->Category, L"ZAV.Service");
  EXPECT_EQ(received->Name, L"UnloadModuleForHosting");
  EXPECT_EQ(received->Sender, L"Sender");
  EXPECT_EQ(received->PrimaryCode, EventCode::Default);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(received->Data), received->DataLength), "abc");
  EXPECT_EQ(listener.Pull(), nullptr) << "the refused send posted nothing";
}

TEST(ZAVModuleTest, BaseLoopStopsOnTerminateAndLeavesLaterRecordsQueued) {
  FakeClock clock;
  ZAVModule module(L"Loop");
  ASSERT_TRUE(Deliver(L"ZAV.Service.TerminateThread"));
  ASSERT_TRUE(Deliver(L"ZAV.Upgrade.Loop"));
  ::testing::internal::CaptureStdout();
  module.Execute();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "**** Running Loop Thread ****\n");
  EXPECT_TRUE(module.HasEvents()) << "the record after TerminateThread stays queued";
  std::vector<std::wstring> journal = JournalOf(L"Loop");
  EXPECT_EQ(std::vector<std::wstring>(journal.end() - 2, journal.end()),
            (std::vector<std::wstring>{L"+ZAV.Service.ZAVModule", L"-ZAV.Service.ZAVModule"}));
}

TEST(ZAVModuleTest, BaseLoopAnnouncesItsOwnEventAndIgnoresOthers) {
  ZAVModule module(L"Announcer");
  ::testing::internal::CaptureStdout();
  std::thread loop([&] { module.Execute(); });
  ASSERT_TRUE(testing_support::WaitForJournalLine(L"Announcer", L"+ZAV.Service.ZAVModule"));
  ASSERT_TRUE(Deliver(L"ZAV.Service.ZAVModule"));
  ASSERT_TRUE(Deliver(L"ZAV.Upgrade.Announcer"));
  ASSERT_TRUE(Deliver(L"ZAV.Service.TerminateThread"));
  loop.join();
  const std::string output = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(output.find("ZAV.Service.ZAVModule event/message received\n"), std::string::npos) << output;
  const std::string banner = "**** Running Announcer Thread ****\n";
  ASSERT_GE(output.size(), banner.size());
  EXPECT_EQ(output.substr(output.size() - banner.size()), banner) << "the banner follows the last drain";
  EXPECT_FALSE(module.HasEvents());
}

}  // namespace
