#pragma once
// The event-driven skeleton shared by the agent's modules: a name, a wait
// signal, a binding to the event broker, the subscribed names, a default
// event loop, and sending and posting of events.

#include <memory>
#include <string>
#include <vector>

#include "module/broker_binding.h"
#include "module/zav_module_interface.h"
#include "xplat/event_signal.h"

class ZAVModule : public ZAVModuleInterface {
 public:
  explicit ZAVModule(std::wstring moduleName);
  ~ZAVModule() override;
  ZAVModule(const ZAVModule&) = delete;
  ZAVModule& operator=(const ZAVModule&) = delete;

  void Execute() override;
  bool WaitForEvents() override;
  EventData* PullEvent() override;
  bool HasEvents() override;
  void ReleaseEvent(EventData* record) override;
  void SetWaitTimeout(std::int32_t milliseconds) override;
  bool RegisterEvent(std::wstring fullName) override;
  bool UnregisterEvent(std::wstring fullName) override;
  bool SendEvent(std::wstring fullName, std::uint32_t length, const void* bytes, std::int32_t code) override;
  bool PostEventWithRetry(EventData& record, std::uint32_t timeoutMs) override;

  const std::wstring& ModuleName() const { return moduleName; }
  std::int32_t WaitTimeout() const { return waitTimeout; }
  const std::vector<std::wstring>& RegisteredNames() const { return registeredNames; }

 protected:
  EventQueue* Queue() const { return broker ? broker->Queue() : nullptr; }
  xplat::EventSignal& Signal() { return *signal; }

 private:
  std::wstring moduleName;
  std::unique_ptr<BrokerBinding> broker;
  std::int32_t waitTimeout;
  std::unique_ptr<xplat::EventSignal> signal;
  std::vector<std::wstring> registeredNames;
};

inline constexpr wchar_t kTerminateThreadEvent[] = L"ZAV.Service.TerminateThread";
inline constexpr wchar_t kUpgradeEventPrefix[] = L"ZAV.Upgrade.";
