#pragma once
// The service's part in the module's events: it posts records for the
// commands, and a listener thread answers what the module sends: the policy
// request, the unload request, "HostUpgrade" and "UpdatePolicy", and hears
// its host status and host events.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "module/broker_binding.h"
#include "service/host_control.h"
#include "service/host_event_log.h"
#include "service/host_policy.h"
#include "service/module_status.h"
#include "xplat/dynamic_library.h"
#include "xplat/event_signal.h"

namespace service {

inline constexpr wchar_t kServiceName[] = L"Service";

// Posts one record with a parameter and data, retrying 100 ms apart up to
// attempts times while nobody has subscribed to its name.
bool PostEvent(BrokerBinding& broker, const std::wstring& fullName, const std::wstring& parameter = L"",
               const std::string& data = std::string(), int attempts = 1);

// The sample module loaded into the service's own process, so that the
// module's unload request has something to act on.
class SampleLibrary {
 public:
  bool Load();
  // True when it was loaded and is now freed.
  bool Unload();

 private:
  std::mutex mutex;
  xplat::DynamicLibrary library;
};

class EventAnswers {
 public:
  EventAnswers(BrokerBinding& broker, PolicyStore& policy, const HostControl& hosts, SampleLibrary& sample,
               ModuleStatus& status, HostEventLog& hostEvents);
  ~EventAnswers() { Stop(); }
  EventAnswers(const EventAnswers&) = delete;
  EventAnswers& operator=(const EventAnswers&) = delete;

  // Subscribes and starts the listener; false without an event broker.
  bool Start();
  void Stop();

 private:
  void Listen();
  void Answer(const EventData& record);
  void AnswerPolicyRequest(const EventData& record);
  void UnloadForHosting(const EventData& record);
  void StopHostsForUpgrade(const EventData& record);

  BrokerBinding& broker;
  PolicyStore& policy;
  const HostControl& hosts;
  SampleLibrary& sample;
  ModuleStatus& status;
  HostEventLog& hostEvents;
  std::unique_ptr<xplat::EventSignal> signal;
  std::thread listener;
  std::atomic<bool> stopping{false};
  bool subscribed = false;
};

}  // namespace service
