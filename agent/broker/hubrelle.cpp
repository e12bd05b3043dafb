#include "broker/hubrelle.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "module/text_archive.h"
#include "xplat/export.h"

namespace hubrelle {
namespace {

// What an archive carries of a text: up to its first zero.
std::wstring Carried(const std::wstring& text) { return text.c_str(); }

// Each subscriber gets its own deep copy, so the broker never shares memory
// with the poster or between subscribers. A copy holds what the record's
// archive form would carry, as a copy sent to another process would.
std::unique_ptr<EventData> CopyOf(const EventData& record) {
  auto copy = std::make_unique<EventData>(Carried(record.Category), Carried(record.Name), Carried(record.Parameter));
  copy->PrimaryCode = record.PrimaryCode;
  copy->Sender = Carried(record.Sender);
  copy->SecondaryCode = record.SecondaryCode;
  copy->AuxText1 = Carried(record.AuxText1);
  copy->AuxText2 = Carried(record.AuxText2);
  if (record.DataLength != 0) {
    copy->Data = new unsigned char[record.DataLength];
    std::copy(record.Data, record.Data + record.DataLength, copy->Data);
    copy->DataLength = record.DataLength;
  }
  copy->AuxValue = record.AuxValue;
  for (const EventEntry& entry : record.Entries) {
    copy->Entries.push_back({entry.Number, Carried(entry.FirstText), Carried(entry.SecondText)});
  }
  return copy;
}

}  // namespace

Broker::~Broker() {
  for (EventData* record : pulled) delete record;
}

bool Broker::Register(std::wstring fullName, xplat::EventSignal& signal) {
  std::lock_guard<std::mutex> lock(mutex);
  Note(L'+', signal, fullName);
  if (!refusedName.empty() && fullName == refusedName) return false;
  ++subscribers[&signal].names[fullName];
  return true;
}

bool Broker::Unregister(std::wstring fullName, xplat::EventSignal& signal) {
  std::lock_guard<std::mutex> lock(mutex);
  Note(L'-', signal, fullName);
  auto subscriber = subscribers.find(&signal);
  if (subscriber == subscribers.end()) return false;
  auto name = subscriber->second.names.find(fullName);
  if (name == subscriber->second.names.end()) return false;
  if (--name->second == 0) subscriber->second.names.erase(name);
  // A signal with no names left is gone: its queued records go with it.
  if (subscriber->second.names.empty()) subscribers.erase(subscriber);
  return true;
}

bool Broker::Post(const EventData& record) {
  // What could not travel as an archive reaches nobody here either.
  if (zav::ArchiveRefusal(record) != nullptr) return false;
  const std::wstring fullName = record.FullName();
  std::lock_guard<std::mutex> lock(mutex);
  // Every copy is made before any is delivered: a record that cannot be
  // copied reaches nobody, and the poster sees the failure.
  std::vector<std::pair<xplat::EventSignal*, std::unique_ptr<EventData>>> copies;
  try {
    for (auto& [signal, subscriber] : subscribers) {
      if (subscriber.names.count(fullName) != 0) copies.emplace_back(signal, CopyOf(record));
    }
  } catch (...) {
    return false;
  }
  for (auto& [signal, copy] : copies) {
    subscribers[signal].queue.push_back(std::move(copy));
    signal->Set();
  }
  return !copies.empty();
}

EventData* Broker::Pull(xplat::EventSignal& signal) {
  std::lock_guard<std::mutex> lock(mutex);
  auto subscriber = subscribers.find(&signal);
  if (subscriber == subscribers.end() || subscriber->second.queue.empty()) return nullptr;
  if (withheldPulls > 0) {
    --withheldPulls;
    return nullptr;
  }
  EventData* record = subscriber->second.queue.front().release();
  subscriber->second.queue.pop_front();
  pulled.insert(record);
  return record;
}

bool Broker::HasEvents(xplat::EventSignal& signal) {
  std::lock_guard<std::mutex> lock(mutex);
  auto subscriber = subscribers.find(&signal);
  return subscriber != subscribers.end() && !subscriber->second.queue.empty();
}

void Broker::Release(EventData* record) {
  std::lock_guard<std::mutex> lock(mutex);
  if (pulled.erase(record) != 0) delete record;
}

void Broker::Note(wchar_t operation, const xplat::EventSignal& signal, const std::wstring& fullName) {
  if (journal.size() == kJournalLines) journal.pop_front();
  journal.push_back(operation + signal.Name() + L" " + fullName);
}

std::wstring Broker::Journal() {
  std::lock_guard<std::mutex> lock(mutex);
  std::wstring text;
  for (const std::wstring& line : journal) text += line + L"\n";
  return text;
}

void Broker::ClearJournal() {
  std::lock_guard<std::mutex> lock(mutex);
  journal.clear();
}

void Broker::RefuseRegistration(std::wstring fullName) {
  std::lock_guard<std::mutex> lock(mutex);
  refusedName = std::move(fullName);
}

void Broker::WithholdPulls(unsigned count) {
  std::lock_guard<std::mutex> lock(mutex);
  withheldPulls = count;
}

Broker& Instance() {
  static Broker broker;
  return broker;
}

}  // namespace hubrelle

extern "C" {

XPLAT_EXPORT EventQueue* GetEventQueueInstance() { return &hubrelle::Instance(); }

// Copies the journal with its terminating zero when it fits; returns the
// number of characters that needs.
XPLAT_EXPORT std::size_t HubrelleJournal(wchar_t* buffer, std::size_t capacity) {
  const std::wstring text = hubrelle::Instance().Journal();
  if (buffer && capacity > text.size()) {
    text.copy(buffer, text.size());
    buffer[text.size()] = L'\0';
  }
  return text.size() + 1;
}

XPLAT_EXPORT void HubrelleClearJournal() { hubrelle::Instance().ClearJournal(); }

XPLAT_EXPORT void HubrelleRefuseRegistration(const wchar_t* fullName) {
  hubrelle::Instance().RefuseRegistration(fullName ? fullName : L"");
}

XPLAT_EXPORT void HubrelleWithholdPulls(unsigned count) { hubrelle::Instance().WithholdPulls(count); }
}
