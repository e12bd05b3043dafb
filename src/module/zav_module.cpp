#include "module/zav_module.h"

#include <cstdio>

#include "xplat/clock.h"
#include "xplat/text.h"

namespace {

constexpr std::int32_t kDefaultWaitTimeoutMs = 30000;
constexpr std::uint32_t kRetryIntervalMs = 1000;
constexpr wchar_t kBaseLoopEvent[] = L"ZAV.Service.ZAVModule";

bool Is(const EventData& record, const wchar_t* category, const wchar_t* name) {
  return record.Category == category && record.Name == name;
}

}  // namespace

ZAVModule::ZAVModule(std::wstring name) : moduleName(std::move(name)) {
  signal = xplat::CreateEventSignal(moduleName);
  broker = std::make_unique<BrokerBinding>();
  waitTimeout = kDefaultWaitTimeoutMs;
  RegisterEvent(kTerminateThreadEvent);
  RegisterEvent(kUpgradeEventPrefix + moduleName);
}

ZAVModule::~ZAVModule() {
  UnregisterEvent(kTerminateThreadEvent);
  UnregisterEvent(kUpgradeEventPrefix + moduleName);
  for (const std::wstring& name : registeredNames) UnregisterEvent(name);
  broker.reset();
  signal.reset();
}

void ZAVModule::Execute() {
  RegisterEvent(kBaseLoopEvent);
  bool stopped = false;
  while (!stopped) {
    if (WaitForEvents()) {
      while (!stopped && Queue() && HasEvents()) {
        EventData* record = PullEvent();
        if (!record) continue;
        if (Is(*record, L"ZAV.Service", L"TerminateThread")) {
          UnregisterEvent(kBaseLoopEvent);
          stopped = true;
        } else if (Is(*record, L"ZAV.Service", L"ZAVModule")) {
          std::printf("ZAV.Service.ZAVModule event/message received\n");
        }
        ReleaseEvent(record);
      }
    }
    std::printf("**** Running %s Thread ****\n", xplat::ToUtf8(moduleName).c_str());
    std::fflush(stdout);
  }
}

bool ZAVModule::WaitForEvents() {
  if (Queue() && HasEvents()) return true;
  for (;;) {
    if (!signal->Wait(static_cast<std::uint32_t>(waitTimeout))) return false;
    if (Queue() && HasEvents()) return true;
  }
}

EventData* ZAVModule::PullEvent() { return Queue() ? Queue()->Pull(*signal) : nullptr; }

bool ZAVModule::HasEvents() { return Queue() && Queue()->HasEvents(*signal); }

void ZAVModule::ReleaseEvent(EventData* record) {
  if (Queue()) Queue()->Release(record);
}

void ZAVModule::SetWaitTimeout(std::int32_t milliseconds) { waitTimeout = milliseconds; }

bool ZAVModule::RegisterEvent(std::wstring fullName) {
  registeredNames.push_back(fullName);
  return Queue() && Queue()->Register(fullName, *signal);
}

bool ZAVModule::UnregisterEvent(std::wstring fullName) {
  return Queue() && Queue()->Unregister(std::move(fullName), *signal);
}

bool ZAVModule::SendEvent(std::wstring fullName, std::uint32_t length, const void* bytes, std::int32_t code) {
  return broker && broker->Send(fullName, length, bytes, static_cast<EventCode>(code), moduleName);
}

bool ZAVModule::PostEventWithRetry(EventData& record, std::uint32_t timeoutMs) {
  record.Sender = moduleName;
  unsigned char* const callersData = record.Data;
  const std::uint32_t attempts = timeoutMs / kRetryIntervalMs;
  bool posted = false;
  for (std::uint32_t i = 0;;) {
    if (i > 0) xplat::Sleep(kRetryIntervalMs);
    posted = broker && broker->Post(record);
    if (posted) break;
    // A failed attempt's copy is ours: free it, so the next attempt copies
    // the caller's bytes again and nothing is left unowned.
    if (record.Data != callersData) {
      delete[] record.Data;
      record.Data = callersData;
    }
    ++i;
    if (i >= attempts) break;
  }
  return posted;
}
