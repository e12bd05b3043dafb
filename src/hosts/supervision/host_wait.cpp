#include "hosts/supervision/host_wait.h"

#include "xplat/clock.h"

namespace zav::custody {

HostWait::HostWait(xplat::EventSignal& signal, const SupervisionSettings& settings, CLogger& hostLogger)
    : waitSet(signal), wakeOnHostExit(settings.wakeOnHostExit), logger(hostLogger) {}

std::optional<bool> HostWait::Wait(const HostContainer& hosts, const DetachedHosts& detached, HostRuns& runs,
                                   std::uint32_t longestMs, const std::function<bool()>& hasEvents) {
  std::uint64_t start = xplat::CurrentClock().NowMs();
  for (;;) {
    // Watched anew before records are taken, whose drain asks what ended.
    if (!waitSet.Watch(Watched(hosts, detached, runs))) {
      logger.LogLastError(log_level::kError, L"Execute: not every host's end can wake the module");
    }
    if (hasEvents()) return true;
    const std::uint64_t spent = xplat::CurrentClock().NowMs() - start;
    switch (waitSet.Wait(runs.WaitMs(spent < longestMs ? static_cast<std::uint32_t>(longestMs - spent) : 0))) {
      case xplat::ProcessWaitSet::Woken::Signal:
        if (hasEvents()) return true;
        start = xplat::CurrentClock().NowMs();
        break;
      case xplat::ProcessWaitSet::Woken::ProcessEnded:
        if (wakeOnHostExit) {
          endedHosts = EndedHosts();
          return false;
        }
        if (!NoteEnds(runs)) return false;
        break;
      case xplat::ProcessWaitSet::Woken::Failed:
        logger.LogLastError(log_level::kError, L"Execute: the wait for events and hosts failed; waiting for events");
        return std::nullopt;
      default:
        return false;
    }
  }
}

// Hosts whose end was seen wait for the pass unwatched, or they would end
// every wait at once.
std::vector<const xplat::ProcessHandle*> HostWait::Watched(const HostContainer& hosts, const DetachedHosts& detached,
                                                           const HostRuns& runs) {
  std::vector<const xplat::ProcessHandle*> processes;
  watchedHosts.clear();
  for (const auto& [hostName, record] : hosts) {
    if (record.started != 1 || runs.IsEndSeen(hostName)) continue;
    processes.push_back(&record.processHandle);
    watchedHosts.emplace(&record.processHandle, hostName);
  }
  if (!wakeOnHostExit) return processes;
  for (const DetachedHost& host : detached.All()) processes.push_back(&host.processHandle);
  return processes;
}

std::vector<std::wstring> HostWait::EndedHosts() const {
  std::vector<std::wstring> ended;
  for (const xplat::ProcessHandle* process : waitSet.Ended()) {
    const auto host = watchedHosts.find(process);
    if (host != watchedHosts.end()) ended.push_back(host->second);
  }
  if (!ended.empty()) return ended;
  for (const auto& [process, hostName] : watchedHosts) {
    if (process->HasEnded()) ended.push_back(hostName);
  }
  return ended;
}

bool HostWait::NoteEnds(HostRuns& runs) const {
  const std::vector<std::wstring> ended = EndedHosts();
  for (const std::wstring& hostName : ended) runs.EndSeen(hostName);
  return !ended.empty();
}

}  // namespace zav::custody
