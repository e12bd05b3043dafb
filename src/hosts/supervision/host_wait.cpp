#include "hosts/supervision/host_wait.h"

namespace zav::custody {

HostWait::HostWait(xplat::EventSignal& signal, bool wakeOnHostExit, CLogger& hostLogger)
    : waitSet(signal), watchHosts(wakeOnHostExit), logger(hostLogger) {}

std::optional<bool> HostWait::Wait(const HostContainer& hosts, const DetachedHosts& detached,
                                   const std::function<std::uint32_t()>& waitMs,
                                   const std::function<bool()>& hasEvents) {
  if (hasEvents()) return true;
  for (;;) {
    if (!waitSet.Watch(Watched(hosts, detached))) {
      logger.LogLastError(log_level::kError, L"Execute: not every host's end can wake the module");
    }
    switch (waitSet.Wait(waitMs())) {
      case xplat::ProcessWaitSet::Woken::Signal:
        if (hasEvents()) return true;
        break;  // a signal without records starts a new wait
      case xplat::ProcessWaitSet::Woken::Failed:
        logger.LogLastError(log_level::kError, L"Execute: the wait for events and hosts failed; waiting for events");
        return std::nullopt;
      default:
        return false;
    }
  }
}

std::vector<const xplat::ProcessHandle*> HostWait::Watched(const HostContainer& hosts,
                                                           const DetachedHosts& detached) const {
  std::vector<const xplat::ProcessHandle*> processes;
  if (!watchHosts) return processes;
  for (const auto& [hostName, record] : hosts) {
    if (record.started == 1) processes.push_back(&record.processHandle);
  }
  for (const DetachedHost& host : detached.All()) processes.push_back(&host.processHandle);
  return processes;
}

}  // namespace zav::custody
