#include "hosts/supervision/host_wait.h"

namespace zav::custody {

HostWait::HostWait(xplat::EventSignal& signal, const SupervisionSettings& settings, CLogger& hostLogger)
    : waitSet(signal), wakeOnHostExit(settings.wakeOnHostExit), logger(hostLogger) {}

std::optional<bool> HostWait::Wait(HostRuns& runs, std::uint32_t longestMs, const std::function<bool()>& hasEvents) {
  std::uint64_t start = xplat::CurrentClock().NowMs();
  for (;;) {
    if (hasEvents()) return true;
    const std::uint64_t spent = xplat::CurrentClock().NowMs() - start;
    switch (waitSet.Wait(runs.WaitMs(spent < longestMs ? static_cast<std::uint32_t>(longestMs - spent) : 0))) {
      case xplat::ProcessWaitSet::Woken::Signal:
        if (hasEvents()) return true;
        start = xplat::CurrentClock().NowMs();
        break;
      case xplat::ProcessWaitSet::Woken::ProcessEnded:
        if (wakeOnHostExit) {
          endedHosts.clear();
          for (auto& [process, hostName] : EndedHosts()) endedHosts.push_back(std::move(hostName));
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
bool HostWait::IsWatchable(const std::wstring& hostName, const HostRecord& record, const HostRuns& runs) {
  return record.started == 1 && !runs.IsEndSeen(hostName);
}

void HostWait::WatchAll(const HostContainer& hosts, const DetachedHosts& detached, const HostRuns& runs) {
  if (stopped) return;
  std::vector<const xplat::ProcessHandle*> processes;
  processes.reserve(hosts.size());
  for (const auto& [hostName, record] : hosts) {
    if (IsWatchable(hostName, record, runs)) processes.push_back(&record.processHandle);
  }
  if (wakeOnHostExit) {
    for (const DetachedHost& host : detached.All()) processes.push_back(&host.processHandle);
  }
  // A walk that changed nothing leaves the wait, and the names it tells, as they are.
  if (waitSet.Holds(processes)) return;
  NameWatchedHosts(hosts, runs);
  if (!waitSet.Watch(processes)) {
    logger.LogLastError(log_level::kError, L"Execute: not every host's end can wake the module");
  }
}

void HostWait::NameWatchedHosts(const HostContainer& hosts, const HostRuns& runs) {
  watchedHosts.clear();
  for (const auto& [hostName, record] : hosts) {
    if (IsWatchable(hostName, record, runs)) watchedHosts.emplace(&record.processHandle, hostName);
  }
}

void HostWait::Unwatch(const HostRecord& record) {
  waitSet.Remove(record.processHandle);
  watchedHosts.erase(&record.processHandle);
}

void HostWait::Watch(const HostRecord& record) {
  if (stopped || record.started != 1) return;
  watchedHosts.emplace(&record.processHandle, record.hostName);
  if (!waitSet.Add(record.processHandle)) {
    logger.LogLastError(log_level::kError, L"Execute: the end of %ws cannot wake the module", record.hostName.c_str());
  }
}

bool HostWait::WalkDue(std::uint32_t intervalMs) const {
  return !lastWalkMs || xplat::CurrentClock().NowMs() - *lastWalkMs >= intervalMs;
}

void HostWait::StopWatching() {
  stopped = true;
  waitSet.Watch({});
  watchedHosts.clear();
}

std::vector<HostWait::Watched> HostWait::EndedHosts() const {
  std::vector<Watched> ended;
  for (const xplat::ProcessHandle* process : waitSet.Ended()) {
    const auto host = watchedHosts.find(process);
    if (host != watchedHosts.end()) ended.emplace_back(*host);
  }
  if (!ended.empty()) return ended;
  for (const auto& [process, hostName] : watchedHosts) {
    if (process->HasEnded()) ended.emplace_back(process, hostName);
  }
  return ended;
}

bool HostWait::NoteEnds(HostRuns& runs) {
  const std::vector<Watched> ended = EndedHosts();
  for (const auto& [process, hostName] : ended) {
    runs.EndSeen(hostName);
    waitSet.Remove(*process);
    watchedHosts.erase(process);
  }
  return !ended.empty();
}

}  // namespace zav::custody
