// Host processes whose records have gone while they still ran (a removal
// whose wait ran out, the upgrade's): the module never loses track of a
// process it started. Each is watched until it ends, then reaped and its
// copy deleted; while it runs, no second process of its name is started.

#include "hosts/custodex.h"
#include "hosts/host_files.h"
#include "xplat/file_system.h"

namespace zav::custody {

bool HasEnded(const xplat::ProcessHandle& process) { return !process || process.WaitForExit(0); }

void Custodex::DetachIfRunning(HostRecord& record) {
  if (HasEnded(record.processHandle)) return;
  logger->LogMsg(log_level::kNormal, L"Host %ws (process %u) runs on without its record; it is watched until it ends.",
                 record.hostName.c_str(), record.processId);
  detachedHosts.push_back(
      DetachedHost{record.hostName, std::move(record.processHandle), std::move(record.threadHandle), record.processId});
  record.processId = 0;
  record.threadId = 0;
}

std::optional<std::uint32_t> Custodex::RunningProcessOf(const HostRecord& record) const {
  if (!HasEnded(record.processHandle)) return record.processId;
  for (const DetachedHost& host : detachedHosts) {
    if (host.hostName == record.hostName && !HasEnded(host.processHandle)) return host.processId;
  }
  return std::nullopt;
}

bool Custodex::ReapDetachedHosts() {
  bool releasedAHost = false;
  for (auto host = detachedHosts.begin(); host != detachedHosts.end();) {
    if (!HasEnded(host->processHandle)) {
      ++host;
      continue;
    }
    std::uint32_t exitCode = 0;
    if (host->processHandle.GetExitCode(exitCode)) {
      logger->LogMsg(log_level::kNormal, L"Host %ws (process %u) without a record has ended with exit code %d.",
                     host->hostName.c_str(), host->processId, exitCode);
    } else {
      logger->LogMsg(log_level::kNormal, L"Host %ws (process %u) without a record has ended.", host->hostName.c_str(),
                     host->processId);
    }
    const auto record = hosts.find(host->hostName);
    if (record == hosts.end()) {
      RemoveHostImage(AgentConfig::GetExecutePath(), host->hostName, L"CheckThatHostIsStillRunning");
    } else {
      releasedAHost = releasedAHost || record->second.started == 0;
    }
    host = detachedHosts.erase(host);  // closes the handle: the process is reaped
  }
  return releasedAHost;
}

bool Custodex::RemoveHostImage(const std::wstring& programFolder, const std::wstring& hostName,
                               const wchar_t* operation) {
  if (IsProtectedHostName(hostName) || !NamesHostFile(hostName)) return false;
  if (programFolder.empty()) {
    logger->LogMsg(log_level::kError, L"%ws: the program folder is unknown; the copy of %ws is not deleted", operation,
                   hostName.c_str());
    return false;
  }
  xplat::Unlink(HostImagePath(programFolder, hostName));
  return true;
}

}  // namespace zav::custody
