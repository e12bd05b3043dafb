#include "hosts/custodex.h"
#include "xplat/clock.h"
#include "xplat/system_error.h"
#include "xplat/loaded_module.h"

namespace zav::custody {
namespace {

constexpr int kUnloadPolls = 20;
constexpr std::uint32_t kUnloadPollIntervalMs = 1000;

}  // namespace

std::int32_t Custodex::ApplyHostPolicy() {
  logger->LogMsg(log_level::kTrace, L"ApplyHostPolicy: Enter");
  std::int32_t result = 0;
  Adoption::Candidates adoptable = adoption.LookForHosts(hosts);
  for (auto& [hostName, record] : hosts) result = StartHost(record, adoptable) ? result : 1;
  logger->LogMsg(log_level::kTrace, L"ApplyHostPolicy: Exit");
  return result;
}

bool Custodex::StartHost(HostRecord& record, Adoption::Candidates& adoptable) {
  const std::wstring& hostName = record.hostName;
  if (trees.Enabled()) trees.Claim(hostName);
  if (record.started != 0 || runs.IsBackingOff(hostName) || !runs.MayTryStart(hostName)) return true;
  const std::optional<std::uint32_t> earlier =
      record.processHandle.HasEnded() ? detached.RunningProcessOf(hostName) : record.processId;
  if (earlier) {
    logger->LogMsg(log_level::kNormal, L"ApplyHostPolicy: %ws is passed over: its earlier process %u still runs.",
                   hostName.c_str(), *earlier);
    return true;
  }
  if (adoption.Adopt(record, adoptable)) {
    runs.Started(hostName, record.processId, true);
    events.Started(hostName, record.processId, true);
    return true;
  }
  if (IsLoadedInService(record)) UnloadFromService(record);
  if (StartProcess(record.hostName)) {
    record.started = 1;
    runs.Started(hostName, record.processId, false);
    logger->LogMsg(log_level::kDiagnostic, L"ApplyHostPolicy: Host process started for %ws", hostName.c_str());
    events.Started(hostName, record.processId, false);
    return true;
  }
  const xplat::ErrorCode error = xplat::LastError();
  if (runs.StartFailed(hostName, error)) {  // else said already
    logger->LogMsg(log_level::kError, L"ApplyHostPolicy: Failure to start: %ws", hostName.c_str());
    events.StartFailed(hostName, error != 0 ? xplat::ErrorText(error) : std::wstring());
  }
  return false;
}

bool Custodex::IsLoadedInService(const HostRecord& record) {
  const std::uintptr_t handle = xplat::LoadedModuleHandle(record.fileName);
  logger->LogMsg(log_level::kDiagnostic, L"ApplyHostPolicy: For %ws, GetModuleHandle returned %d.",
                 record.fileName.c_str(), static_cast<int>(handle));
  return handle != 0;
}

// Asks the service to unload the module and gives it a bounded time to do
// so; the host is started afterwards either way.
void Custodex::UnloadFromService(const HostRecord& record) {
  const wchar_t* const moduleName = record.moduleName.c_str();
  logger->LogMsg(log_level::kDiagnostic, L"ApplyHostPolicy: Module %ws already loaded under DEDedad.",
                 record.hostName.c_str());
  logger->LogMsg(log_level::kDiagnostic, L"ApplyHostPolicy: Sending 'ZAV.Service.UnloadModuleForHosting' for %ws.",
                 moduleName);
  EventData request(L"ZAV.Service", L"UnloadModuleForHosting", record.moduleName);
  PostEventWithRetry(request, 0);
  logger->LogMsg(log_level::kDiagnostic, L"ApplyHostPolicy: Waiting for %ws to unload.", moduleName);
  for (int poll = 0; poll < kUnloadPolls; ++poll) {
    xplat::Sleep(kUnloadPollIntervalMs);
    if (!IsLoadedInService(record)) {
      logger->LogMsg(log_level::kNormal, L"ApplyHostPolicy: %ws unloaded.", moduleName);
      return;
    }
  }
  logger->LogMsg(log_level::kNormal, L"ApplyHostPolicy: TimeOut on unload for %ws.", moduleName);
}

}  // namespace zav::custody
