#include <algorithm>
#include <cstdio>
#include <set>

#include "hosts/custodex.h"
#include "hosts/drain_budget.h"
#include "hosts/host_files.h"
#include "hosts/supervision/status_document.h"
#include "xplat/file_system.h"

namespace zav::custody {
namespace {

constexpr std::uint32_t kStartupRequestMs = 30000;
constexpr wchar_t kStatusRequest[] = L"ZAV.Service.QueryHostStatus";
constexpr const wchar_t* kSubscribedEvents[] = {
    L"ZAV.Service.UpdatePolicy",
    L"ZAV.Service.ApplyHostPolicy",
    L"ZAV.Service.DeleteHost",
    L"ZAV.Service.InstallingModulesDone",
};

bool Is(const EventData& record, const wchar_t* category, const wchar_t* name) {
  return record.Category == category && record.Name == name;
}

}  // namespace

Custodex::Custodex()
    : ZAVModule(L"Custodex"),
      logger(std::make_unique<CLogger>(L"Custodex")),
      config(std::make_unique<AgentConfig>()),
      policyLock(std::make_unique<std::atomic<std::uint32_t>>(0)),
      settings(SupervisionSettings::Read()),
      runs(settings.restartBackOff, settings.wakeOnHostExit || settings.restartBackOff),
      detached(*logger),
      adoption(settings.adoptHosts, *logger),
      trees(settings.trackHostTrees, settings.trackHostTrees ? AgentConfig::ReadExecutePath().path : L"", *logger),
      events(settings.publishHostEvents,
             [this](const std::wstring& hostName, std::string document) {
               return PostDocument(L"HostEvent", hostName, std::move(document));
             }),
      ending(settings.stopHostsThatDoNotEnd, trees, detached, runs, events, *logger) {
  // Without a signal of its own the wait is the default one, which still lasts its time.
  const bool runsTold = settings.restartBackOff || settings.hostStatus || settings.publishHostEvents;
  if ((settings.wakeOnHostExit || runsTold) && Signal().CreationError() == 0) {
    hostWait = std::make_unique<HostWait>(Signal(), settings, *logger);
  }
}

Custodex::~Custodex() = default;

void Custodex::Execute() {
  logger->LogMsg(log_level::kTrace, L"Enter Execute()");
  if (settings.Any()) {
    auto onOff = [](bool on) { return on ? L"on" : L"off"; };
    logger->LogMsg(log_level::kNormal,
                   L"Execute: wake on host exit %ws, restart back-off %ws, host status %ws, adoption %ws, "
                   L"process trees %ws, ending hosts that do not end %ws, host events %ws",
                   onOff(settings.wakeOnHostExit), onOff(settings.restartBackOff), onOff(settings.hostStatus),
                   onOff(settings.adoptHosts), onOff(settings.trackHostTrees), onOff(settings.stopHostsThatDoNotEnd),
                   onOff(settings.publishHostEvents));
  }
  if (const xplat::ErrorCode error = Signal().CreationError()) {
    logger->LogSystemError(log_level::kError, error,
                           L"Execute: the module's wait signal could not be made; events are taken at each wake-up");
  }
  if (RegisterEvents()) {
    if (!RequestPolicy(kStartupRequestMs)) {
      logger->LogMsg(log_level::kCritical, L"ERROR: Unable to request policy on startup");
    }
    bool stop = false;
    do {
      if (WaitForWork()) DrainEvents(stop);
      CheckThatHostIsStillRunning();
      std::printf("**** Running Custodex Process Thread ****\n");
      std::fflush(stdout);
    } while (!stop);
  } else {
    logger->LogMsg(log_level::kError, L"RegisterEvents failed");
  }
  UnregisterEvents();
  logger->LogMsg(log_level::kNormal, L"**** Shutting Down Custodex Thread ****");
  logger->LogMsg(log_level::kTrace, L"Exit Execute()");
}

bool Custodex::RegisterEvents() {
  bool all = true;
  for (const wchar_t* name : kSubscribedEvents) all = RegisterEvent(name) && all;
  if (settings.hostStatus) all = RegisterEvent(kStatusRequest) && all;
  return all;
}

void Custodex::UnregisterEvents() {
  for (const wchar_t* name : kSubscribedEvents) UnregisterEvent(name);
  if (settings.hostStatus) UnregisterEvent(kStatusRequest);
}

bool Custodex::RequestPolicy(std::uint32_t timeoutMs) {
  EventData request(L"ZAV.Service", L"RequestPolicy", L"ZAV.Service.ApplyHostPolicy");
  return PostEventWithRetry(request, timeoutMs);
}

// Records queued after the one that stops the loop stay in the queue; a
// drain that spends its budget, or sees a host end with wake on host exit,
// leaves the rest for the next, after a pass.
void Custodex::DrainEvents(bool& stop) {
  DrainBudget budget;
  while (Queue() && HasEvents()) {
    EventData* record = PullEvent();
    if (!record) {
      // A broker that reports records and gives none must not hold the loop here.
      logger->LogMsg(log_level::kError, L"ERROR: PullEvent returned no event data");
      return;
    }
    Dispatch(*record, stop);
    events.Release();
    if (Queue()) ReleaseEvent(record);
    if (stop || budget.Spend() || (hostWait && hostWait->HostEnded())) return;
  }
}

void Custodex::Dispatch(const EventData& record, bool& stop) {
  if (Is(record, L"ZAV.Service", L"TerminateThread")) {
    logger->LogMsg(log_level::kNormal, L"Execute: Received 'ZAV.Service.TerminateThread' event");
    stop = true;
  } else if (Is(record, L"ZAV.Service", L"ApplyHostPolicy")) {
    logger->LogMsg(log_level::kNormal, L"Received 'ZAV.Service.ApplyHostPolicy' notification.");
    if (!ParseData(&record)) ApplyHostPolicy();
  } else if (Is(record, L"ZAV.Service", L"UpdatePolicy")) {
    logger->LogMsg(log_level::kNormal, L"Received UpdatePolicy notification.");
    RequestPolicy(0);
  } else if (Is(record, L"ZAV.Service", L"DeleteHost")) {
    DeleteHost(record.Parameter);
  } else if (Is(record, L"ZAV.Service", L"InstallingModulesDone")) {
    logger->LogMsg(log_level::kNormal, L"Execute: Received event InstallingModulesDone");
    RequestPolicy(0);
  } else if (settings.hostStatus && Is(record, L"ZAV.Service", L"QueryHostStatus")) {
    AnswerHostStatus(record);
  } else if (record.Category == L"ZAV.Upgrade") {
    stop = true;
    WindDownForUpgrade();
  }
}

void Custodex::DeleteHost(const std::wstring& hostName) {
  logger->LogMsg(log_level::kNormal, L"Execute: Received DeleteHost for %ws", hostName.c_str());
  const auto found = hosts.find(hostName);
  if (found == hosts.end()) return;
  const ProgramFolder programFolder = AgentConfig::ReadExecutePath();
  const std::wstring imagePath = HostImagePath(programFolder.path, hostName);
  logger->LogMsg(log_level::kNormal, L"Execute: Waiting for process %ws to end", hostName.c_str());
  const bool copyDeleted = !ending.EndForRemoval(found->second) && RemoveHostImage(programFolder, hostName, L"Execute");
  hosts.erase(found);
  Delete(hostName);
  runs.Forget(hostName);
  events.Removed(hostName);
  if (copyDeleted) {
    logger->LogMsg(log_level::kNormal, L"Execute: host %ws removed", imagePath.c_str());
  } else {
    logger->LogMsg(log_level::kNormal, L"Execute: host %ws removed; no copy was deleted", hostName.c_str());
  }
  logger->LogMsg(log_level::kNormal, L"Sending UpdatePolicy notification.");
  SendEvent(L"ZAV.Service.UpdatePolicy", 0, nullptr, static_cast<std::int32_t>(EventCode::Default));
}

void Custodex::WindDownForUpgrade() {
  logger->LogMsg(log_level::kNormal, L"Execute: Received Upgrade Module event %ws", ModuleName().c_str());
  logger->LogMsg(log_level::kNormal, L"Execute: Sending ZAV.Service.HostUpgrade");
  SendEvent(L"ZAV.Service.HostUpgrade", 0, nullptr, static_cast<std::int32_t>(EventCode::Default));
  if (hostWait) hostWait->StopWatching();  // the loop ends
  logger->LogMsg(log_level::kNormal, L"Execute: Waiting for all host processes to end");
  std::optional<ProgramFolder> programFolder;  // read once the wait is over
  ending.EndForUpgrade(hosts, [&](const std::wstring& hostName, bool copyKept) {
    if (!programFolder) programFolder = AgentConfig::ReadExecutePath();
    if (!copyKept && RemoveHostImage(*programFolder, hostName, L"Execute")) {
      logger->LogMsg(log_level::kDiagnostic, L"Execute: host %ws deleted",
                     HostImagePath(programFolder->path, hostName).c_str());
    }
    Delete(hostName);
  });
  hosts.clear();
  ReapEndedHostsAndDeleteTheirCopies();
}

bool Custodex::WaitForWork() {
  if (!hostWait) return WaitForEvents();
  const std::uint32_t longestMs = static_cast<std::uint32_t>(std::max(WaitTimeout(), 0));
  const std::optional<bool> events = hostWait->Wait(runs, longestMs, [this] { return HasEvents(); });
  return events ? *events : WaitForEvents();
}

void Custodex::AnswerHostStatus(const EventData& request) {
  logger->LogMsg(log_level::kDiagnostic, L"Execute: Received host status request for '%ws'", request.Parameter.c_str());
  std::string answer;
  if (request.DataLength != 0) {
    logger->LogMsg(log_level::kError, L"Execute: host status request refused: it carries data");
    answer = RefusedStatusDocument(L"the request carries data");
  } else {
    // One look at the system's processes serves every tree the answer shows.
    const xplat::ProcessTreeSet::Round round = trees.OneLook();
    TreeFiguresOf figures;
    if (trees.Enabled()) figures = [&](const std::wstring& hostName) { return trees.Figures(hostName); };
    const std::optional<std::uint64_t> dropped =
        events.Enabled() ? std::optional<std::uint64_t>(events.Dropped()) : std::nullopt;
    answer = HostStatusDocument(hosts, runs, figures, request.Parameter, dropped, trees.UnclaimedTrees());
  }
  PostDocument(L"HostStatus", request.Parameter, std::move(answer));
}

bool Custodex::PostDocument(const wchar_t* name, const std::wstring& parameter, std::string document) {
  unsigned char* const bytes = reinterpret_cast<unsigned char*>(document.data());
  EventData record(L"ZAV.Service", name, parameter);
  record.DataLength = static_cast<std::uint32_t>(document.size());
  record.Data = bytes;
  record.PrimaryCode = EventCode::Default;
  const bool posted = PostEventWithRetry(record, 0);
  if (record.Data == bytes)
    record.Data = nullptr;  // not posted: the buffer is the document's; else the copy is the record's
  return posted;
}

bool Custodex::RemoveHostImage(const ProgramFolder& programFolder, const std::wstring& hostName,
                               const wchar_t* operation) {
  if (IsProtectedHostName(hostName) || !NamesHostFile(hostName)) return false;
  if (programFolder.path.empty()) {
    LogNoProgramFolder(programFolder, operation, L"the copy of " + hostName + L" is not deleted");
    return false;
  }
  xplat::Unlink(HostImagePath(programFolder.path, hostName));
  return true;
}

}  // namespace zav::custody
