#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "module/broker_binding.h"
#include "module/text_archive.h"
#include "support/test_environment.h"
#include "xplat/event_signal.h"
#include "xplat/text.h"

namespace {

using testing_support::ScopedRegistryKey;

class BrokerTest : public ::testing::Test {
 protected:
  BrokerTest() : queue(binding.Queue()) {}

  static EventData* MakeRecord(const std::wstring& category, const std::wstring& name, std::uint32_t number) {
    auto* record = new EventData(category, name, L"");
    record->AuxValue = number;
    return record;
  }
  bool Post(const std::wstring& category, const std::wstring& name, std::uint32_t number = 0) {
    std::unique_ptr<EventData> record(MakeRecord(category, name, number));
    return queue->Post(*record);
  }
  std::vector<std::uint32_t> Drain(xplat::EventSignal& signal) {
    std::vector<std::uint32_t> numbers;
    while (queue->HasEvents(signal)) {
      EventData* record = queue->Pull(signal);
      numbers.push_back(record->AuxValue);
      queue->Release(record);
    }
    return numbers;
  }

  BrokerBinding binding;
  EventQueue* queue;
};

TEST_F(BrokerTest, PostReachesEverySubscriberOfItsFullNameAndSetsTheirSignals) {
  ASSERT_NE(queue, nullptr);
  auto first = xplat::CreateEventSignal(L"first");
  auto second = xplat::CreateEventSignal(L"second");
  auto other = xplat::CreateEventSignal(L"other");
  queue->Register(L"Test.Route.Event", *first);
  queue->Register(L"Test.Route.Event", *second);
  queue->Register(L"Test.Route.Other", *other);

  EXPECT_TRUE(Post(L"Test.Route", L"Event", 7));
  EXPECT_TRUE(first->Wait(0));
  EXPECT_TRUE(second->Wait(0));
  EXPECT_FALSE(other->Wait(0));
  EXPECT_EQ(Drain(*first), std::vector<std::uint32_t>{7});
  EXPECT_EQ(Drain(*second), std::vector<std::uint32_t>{7});
  EXPECT_FALSE(queue->HasEvents(*other));
  EXPECT_EQ(queue->Pull(*other), nullptr);

  EXPECT_FALSE(Post(L"Test.Route", L"Nobody")) << "a record nobody subscribed to is not delivered";
  EventData broken(L"Test.Route", L"Event", L"");
  broken.DataLength = 5;
  EXPECT_FALSE(queue->Post(broken)) << "a record claiming bytes it lacks is refused";
  EXPECT_FALSE(queue->HasEvents(*first));
  EXPECT_FALSE(Post(L"test.route", L"event")) << "names are compared case-sensitively";

  queue->Unregister(L"Test.Route.Event", *first);
  queue->Unregister(L"Test.Route.Event", *second);
  queue->Unregister(L"Test.Route.Other", *other);
}

TEST_F(BrokerTest, PulledRecordIsTheBrokersOwnCopy) {
  auto signal = xplat::CreateEventSignal(L"copy");
  queue->Register(L"Test.Copy.Event", *signal);
  {
    EventData record(L"Test.Copy", L"Event", std::wstring(L"parameter\0tail", 14));
    const char text[] = "payload";
    record.DataLength = 7;
    record.Data = new unsigned char[7];
    std::copy(text, text + 7, record.Data);
    record.Entries.push_back({3, L"a", L"b"});
    ASSERT_TRUE(queue->Post(record));
  }
  EventData* pulled = queue->Pull(*signal);
  ASSERT_NE(pulled, nullptr);
  EXPECT_EQ(pulled->Parameter, L"parameter") << "as the archive carries it, up to its first zero";
  EXPECT_EQ(std::string(reinterpret_cast<char*>(pulled->Data), pulled->DataLength), "payload");
  ASSERT_EQ(pulled->Entries.size(), 1u);
  EXPECT_EQ(pulled->Entries[0].SecondText, L"b");
  queue->Release(pulled);
  queue->Unregister(L"Test.Copy.Event", *signal);
}

TEST_F(BrokerTest, SubscriptionsCountRegistrationsAndUnknownNamesAreRefused) {
  auto signal = xplat::CreateEventSignal(L"count");
  EXPECT_FALSE(queue->Unregister(L"Test.Count.Event", *signal));
  queue->Register(L"Test.Count.Event", *signal);
  queue->Register(L"Test.Count.Event", *signal);
  EXPECT_TRUE(queue->Unregister(L"Test.Count.Event", *signal));
  EXPECT_TRUE(Post(L"Test.Count", L"Event")) << "still registered once";
  EXPECT_TRUE(queue->Unregister(L"Test.Count.Event", *signal));
  EXPECT_FALSE(queue->HasEvents(*signal)) << "a signal without names loses its queue";
  EXPECT_FALSE(Post(L"Test.Count", L"Event"));
  EXPECT_FALSE(queue->Unregister(L"Test.Count.Event", *signal));
}

TEST_F(BrokerTest, ConcurrentPostsLoseNothingAndKeepEachPostersOrder) {
  constexpr std::uint32_t kThreads = 4;
  constexpr std::uint32_t kPerThread = 400;
  auto first = xplat::CreateEventSignal(L"first");
  auto second = xplat::CreateEventSignal(L"second");
  queue->Register(L"Test.Load.Event", *first);
  queue->Register(L"Test.Load.Event", *second);

  std::vector<std::thread> posters;
  for (std::uint32_t t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (std::uint32_t i = 0; i < kPerThread; ++i) Post(L"Test.Load", L"Event", t * 100000 + i);
    });
  }
  std::vector<std::uint32_t> pulledWhilePosting;
  while (pulledWhilePosting.size() < kThreads * kPerThread) {
    if (first->Wait(1000)) {
      std::vector<std::uint32_t> batch = Drain(*first);
      pulledWhilePosting.insert(pulledWhilePosting.end(), batch.begin(), batch.end());
    } else if (!queue->HasEvents(*first)) {
      break;
    }
  }
  for (std::thread& poster : posters) poster.join();
  std::vector<std::uint32_t> rest = Drain(*first);
  pulledWhilePosting.insert(pulledWhilePosting.end(), rest.begin(), rest.end());

  for (const std::vector<std::uint32_t>& received : {pulledWhilePosting, Drain(*second)}) {
    ASSERT_EQ(received.size(), kThreads * kPerThread);
    std::map<std::uint32_t, std::uint32_t> next;
    for (std::uint32_t number : received) {
      EXPECT_EQ(number % 100000, next[number / 100000]++) << "poster " << number / 100000;
    }
  }
  queue->Unregister(L"Test.Load.Event", *first);
  queue->Unregister(L"Test.Load.Event", *second);
}

TEST_F(BrokerTest, RecordItCannotCopyIsRefusedAndReachesNobody) {
  auto first = xplat::CreateEventSignal(L"first");
  auto second = xplat::CreateEventSignal(L"second");
  queue->Register(L"Test.Huge.Event", *first);
  queue->Register(L"Test.Huge.Event", *second);
  // A string past the limit an archive's reader holds to: it is not archived.
  EventData record(L"Test.Huge", L"Event", std::wstring(zav::kMaxArchivedStringUnits + 1, L'p'));
  EXPECT_FALSE(queue->Post(record));
  // Fewer characters than units: each takes two.
  record.Parameter.clear();
  for (std::uint64_t units = 0; units <= zav::kMaxArchivedStringUnits; units += 2) record.Parameter += L"\U0001F600";
  EXPECT_FALSE(queue->Post(record));
  record.Entries.push_back({1, L"", std::wstring(zav::kMaxArchivedStringUnits + 1, L'e')});
  record.Parameter.clear();
  EXPECT_FALSE(queue->Post(record)) << "an entry's text";
  EXPECT_FALSE(queue->HasEvents(*first));
  EXPECT_FALSE(queue->HasEvents(*second));
  EXPECT_FALSE(first->Wait(0));
  EXPECT_FALSE(second->Wait(0));
  queue->Unregister(L"Test.Huge.Event", *first);
  queue->Unregister(L"Test.Huge.Event", *second);
}

TEST(BrokerBindingTest, EveryShapeOfPathValueStillLoadsTheBroker) {
  ScopedRegistryKey agent(testing_support::kAgentKey);
  const std::string folder = xplat::ToUtf16LeBytes(L"C:\\Agent") + std::string(2, '\0');
  for (const std::string& bytes : {std::string(), std::string(1, '\0'), std::string(2, '\0'), std::string("a\0b", 3),
                                   std::string("a\0b\0", 4), folder}) {
    agent.SetRaw(L"Path", xplat::kRegSz, bytes);
    BrokerBinding binding;
    EXPECT_NE(binding.Queue(), nullptr) << "\"Path\" of " << bytes.size() << " bytes";
  }
}

TEST(BrokerBindingTest, SendSplitsTheFullNameAtItsLastPoint) {
  std::wstring category;
  std::wstring name;
  BrokerBinding::SplitFullName(L"ZAV.Service.DeleteHost", category, name);
  EXPECT_EQ(category, L"ZAV.Service");
  EXPECT_EQ(name, L"DeleteHost");
  BrokerBinding::SplitFullName(L"Plain", category, name);
  EXPECT_EQ(category, L"Plain");
  EXPECT_EQ(name, L"Plain");
}

TEST(BrokerBindingTest, PostAndSendCopyTheBytesWithAnExtraZero) {
  BrokerBinding binding;
  auto signal = xplat::CreateEventSignal(L"listener");
  binding.Queue()->Register(L"Test.Post.Event", *signal);
  const std::string bytes("x\0z", 3);
  unsigned char callers[3] = {'x', 0, 'z'};
  EventData record(L"Test.Post", L"Event", L"");
  record.DataLength = 3;
  record.Data = callers;
  EXPECT_TRUE(binding.Post(record));
  ASSERT_NE(record.Data, callers);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record.Data), 4), bytes + '\0');
  EXPECT_TRUE(binding.Send(L"Test.Post.Event", 3, callers, EventCode::Default, L"Sender"));
  for (const wchar_t* sender : {L"", L"Sender"}) {
    EventData* pulled = binding.Queue()->Pull(*signal);
    ASSERT_NE(pulled, nullptr);
    EXPECT_EQ(pulled->Sender, sender);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pulled->Data), pulled->DataLength), bytes);
    binding.Queue()->Release(pulled);
  }
  binding.Queue()->Unregister(L"Test.Post.Event", *signal);
}

}  // namespace
