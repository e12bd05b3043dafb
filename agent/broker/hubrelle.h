#pragma once
// The agent's event broker, as a stand-in: one in-process queue object that
// routes each posted record to every signal subscribed to its full name.

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

#include "module/event_queue.h"

namespace hubrelle {

class Broker final : public EventQueue {
 public:
  Broker() = default;
  ~Broker();

  void ReservedSlot1() override {}
  void ReservedSlot2() override {}
  void ReservedSlot3() override {}
  void ReservedSlot4() override {}
  bool Register(std::wstring fullName, xplat::EventSignal& signal) override;
  bool Unregister(std::wstring fullName, xplat::EventSignal& signal) override;
  bool Post(const EventData& record) override;
  EventData* Pull(xplat::EventSignal& signal) override;
  bool HasEvents(xplat::EventSignal& signal) override;
  void Release(EventData* record) override;

  // The subscription traffic, one line per call ("+Signal Name" for Register,
  // "-Signal Name" for Unregister), the latest kJournalLines of them.
  std::wstring Journal();
  void ClearJournal();
  // Registrations of this full name answer false (and subscribe nothing)
  // until another name, or an empty one, is given: a broker that refuses.
  void RefuseRegistration(std::wstring fullName);
  // The next `count` pulls give no record, even with records queued: a
  // broker that reports records it then fails to hand out.
  void WithholdPulls(unsigned count);

 private:
  static constexpr std::size_t kJournalLines = 4096;
  void Note(wchar_t operation, const xplat::EventSignal& signal, const std::wstring& fullName);

  struct Subscriber {
    std::map<std::wstring, unsigned> names;  // full name -> times registered
    std::deque<std::unique_ptr<EventData>> queue;
  };

  std::mutex mutex;
  std::map<xplat::EventSignal*, Subscriber> subscribers;
  std::unordered_set<EventData*> pulled;  // handed out, awaiting Release
  std::deque<std::wstring> journal;
  std::wstring refusedName;
  unsigned withheldPulls = 0;
};

}  // namespace hubrelle
