#include "service/events.h"

#include "service/console.h"
#include "service/machine.h"
#include "xplat/clock.h"
#include "xplat/text.h"

namespace service {
namespace {

constexpr std::uint32_t kPostRetryMs = 100;
constexpr std::uint32_t kListenWaitMs = 1000;
constexpr int kPolicyPostAttempts = 20;

constexpr const wchar_t* kAnsweredEvents[] = {
    L"ZAV.Service.RequestPolicy", L"ZAV.Service.UnloadModuleForHosting",
    L"ZAV.Service.HostUpgrade",   L"ZAV.Service.UpdatePolicy",
    L"ZAV.Service.HostStatus",    L"ZAV.Service.HostEvent",
};

std::string DataOf(const EventData& record) {
  return std::string(reinterpret_cast<const char*>(record.Data), record.Data ? record.DataLength : 0);
}

std::string Utf8(const std::wstring& text) { return xplat::ToUtf8(text); }

std::string JoinNames(const std::vector<std::wstring>& names) {
  std::wstring joined;
  for (const std::wstring& name : names) joined += (joined.empty() ? L"" : L", ") + name;
  return Utf8(joined);
}

bool PostOnce(BrokerBinding& broker, const std::wstring& fullName, const std::wstring& parameter,
              const std::string& data) {
  EventData record;
  BrokerBinding::SplitFullName(fullName, record.Category, record.Name);
  record.Parameter = parameter;
  record.Sender = kServiceName;
  record.DataLength = static_cast<std::uint32_t>(data.size());
  auto* bytes = reinterpret_cast<unsigned char*>(const_cast<char*>(data.data()));
  record.Data = data.empty() ? nullptr : bytes;
  const bool posted = broker.Post(record);
  // A refused post may leave our own buffer in the record, which must not free it.
  if (record.Data == bytes) record.Data = nullptr;
  return posted;
}

}  // namespace

bool PostEvent(BrokerBinding& broker, const std::wstring& fullName, const std::wstring& parameter,
               const std::string& data, int attempts) {
  for (int i = 0; i < attempts; ++i) {
    if (i > 0) xplat::Sleep(kPostRetryMs);
    if (PostOnce(broker, fullName, parameter, data)) return true;
    if (!broker.Queue()) return false;
  }
  return false;
}

bool SampleLibrary::Load() {
  std::lock_guard<std::mutex> lock(mutex);
  library = xplat::DynamicLibrary::Load(SampleModuleFileName());
  return library.IsLoaded();
}

bool SampleLibrary::Unload() {
  std::lock_guard<std::mutex> lock(mutex);
  if (!library.IsLoaded()) return false;
  library.Free();
  return true;
}

EventAnswers::EventAnswers(BrokerBinding& brokerBinding, PolicyStore& policyStore, const HostControl& hostControl,
                           SampleLibrary& sampleLibrary, ModuleStatus& moduleStatus, HostEventLog& hostEventLog)
    : broker(brokerBinding),
      policy(policyStore),
      hosts(hostControl),
      sample(sampleLibrary),
      status(moduleStatus),
      hostEvents(hostEventLog) {}

bool EventAnswers::Start() {
  EventQueue* queue = broker.Queue();
  if (!queue) return false;
  signal = xplat::CreateEventSignal(kServiceName);
  for (const wchar_t* name : kAnsweredEvents) queue->Register(name, *signal);
  subscribed = true;
  listener = std::thread([this] { Listen(); });
  return true;
}

void EventAnswers::Stop() {
  if (!subscribed) return;
  stopping = true;
  signal->Set();
  if (listener.joinable()) listener.join();
  for (const wchar_t* name : kAnsweredEvents) broker.Queue()->Unregister(name, *signal);
  subscribed = false;
}

void EventAnswers::Listen() {
  EventQueue& queue = *broker.Queue();
  while (!stopping) {
    if (!signal->Wait(kListenWaitMs)) continue;
    while (!stopping && queue.HasEvents(*signal)) {
      EventData* record = queue.Pull(*signal);
      if (!record) continue;
      try {
        Answer(*record);
      } catch (const std::exception& error) {
        Say("answering %s failed: %s", xplat::ToUtf8(record->FullName()).c_str(), error.what());
      }
      queue.Release(record);
    }
  }
}

void EventAnswers::Answer(const EventData& record) {
  const std::wstring name = record.FullName();
  if (name == L"ZAV.Service.RequestPolicy") {
    AnswerPolicyRequest(record);
  } else if (name == L"ZAV.Service.UnloadModuleForHosting") {
    UnloadForHosting(record);
  } else if (name == L"ZAV.Service.HostUpgrade") {
    StopHostsForUpgrade(record);
  } else if (name == L"ZAV.Service.UpdatePolicy") {
    Say("UpdatePolicy from %s", Utf8(record.Sender).c_str());
  } else if (name == L"ZAV.Service.HostStatus") {
    status.Deliver(DataOf(record));
  } else if (name == L"ZAV.Service.HostEvent") {
    hostEvents.Hear(DataOf(record));
  }
}

void EventAnswers::AnswerPolicyRequest(const EventData& record) {
  const std::string document = policy.Document();
  const bool posted = PostEvent(broker, L"ZAV.Service.ApplyHostPolicy", L"", document, kPolicyPostAttempts);
  Say("policy requested by %s: %s ApplyHostPolicy with host(s) %s", Utf8(record.Sender).c_str(),
      posted ? "posted" : "nobody took", JoinNames(policy.Hosts()).c_str());
}

void EventAnswers::UnloadForHosting(const EventData& record) {
  const std::string module = Utf8(record.Parameter);
  if (record.Parameter != kSampleModuleName) {
    Say("%s asked to unload %s, which the service does not hold", Utf8(record.Sender).c_str(), module.c_str());
  } else if (sample.Unload()) {
    Say("unloaded %s from the service for hosting, as %s asked", module.c_str(), Utf8(record.Sender).c_str());
  } else {
    Say("%s asked to unload %s, which is not loaded here", Utf8(record.Sender).c_str(), module.c_str());
  }
}

void EventAnswers::StopHostsForUpgrade(const EventData& record) {
  std::vector<std::wstring> asked;
  for (const std::wstring& host : hosts.RunningHosts()) {
    if (hosts.AskToStop(host)) asked.push_back(host);
  }
  Say("HostUpgrade from %s: asked the running hosts to stop (%s)", Utf8(record.Sender).c_str(),
      asked.empty() ? "none" : JoinNames(asked).c_str());
}

}  // namespace service
