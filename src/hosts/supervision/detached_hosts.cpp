#include "hosts/supervision/detached_hosts.h"

namespace zav::custody {

void DetachedHosts::Detach(HostRecord& record) {
  if (!record.processHandle) return;
  logger.LogMsg(log_level::kNormal, L"Host %ws (process %u) runs on without its record; it is watched until it ends.",
                record.hostName.c_str(), record.processId);
  hosts.push_back(
      DetachedHost{record.hostName, std::move(record.processHandle), std::move(record.threadHandle), record.processId});
  record.processId = 0;
  record.threadId = 0;
}

std::optional<std::uint32_t> DetachedHosts::RunningProcessOf(const std::wstring& hostName) const {
  const std::vector<std::uint32_t> running = RunningProcessesOf(hostName);
  return running.empty() ? std::nullopt : std::optional<std::uint32_t>(running.front());
}

std::vector<std::uint32_t> DetachedHosts::RunningProcessesOf(const std::wstring& hostName) const {
  std::vector<std::uint32_t> running;
  for (const DetachedHost& host : hosts) {
    if (host.hostName == hostName && !host.processHandle.HasEnded()) running.push_back(host.processId);
  }
  return running;
}

std::vector<const xplat::ProcessHandle*> DetachedHosts::EndProcessesOf(const std::wstring& hostName,
                                                                      std::uint32_t exitCode) {
  std::vector<const xplat::ProcessHandle*> ending;
  for (const DetachedHost& host : hosts) {
    if (host.hostName != hostName || host.processHandle.HasEnded()) continue;
    host.processHandle.Terminate(exitCode);
    ending.push_back(&host.processHandle);
  }
  return ending;
}

std::vector<std::wstring> DetachedHosts::ReapEnded() {
  std::vector<std::wstring> ended;
  for (auto host = hosts.begin(); host != hosts.end();) {
    if (!host->processHandle.HasEnded()) {
      ++host;
      continue;
    }
    std::uint32_t exitCode = 0;
    if (host->processHandle.GetExitCode(exitCode)) {
      logger.LogMsg(log_level::kNormal, L"Host %ws (process %u) without a record has ended with exit code %d.",
                    host->hostName.c_str(), host->processId, exitCode);
    } else {
      logger.LogMsg(log_level::kNormal, L"Host %ws (process %u) without a record has ended.", host->hostName.c_str(),
                    host->processId);
    }
    ended.push_back(host->hostName);
    host = hosts.erase(host);  // closes the handle: the process is reaped
  }
  return ended;
}

}  // namespace zav::custody
