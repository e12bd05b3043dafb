// Supervision beyond the default, each part switched on by its setting: the
// loop's wait also ends when a host ends (wake on host exit) and when a
// delayed start falls due; hosts that keep ending at once are started again
// less and less often (restart back-off). The runs of every host are
// remembered either way, for the status answers.

#include <algorithm>

#include "hosts/custodex.h"
#include "xplat/clock.h"

namespace zav::custody {
namespace {

std::uint64_t Now() { return xplat::CurrentClock().NowMs(); }

}  // namespace

bool Custodex::WaitForWork() { return waitSet ? WaitForEventsOrHostExit() : WaitForEvents(); }

// As the default wait, but over the hosts' processes as well, and no longer
// than until the next delayed start.
bool Custodex::WaitForEventsOrHostExit() {
  if (HasEvents()) return true;
  for (;;) {
    if (!waitSet->Watch(WatchedProcesses())) {
      logger->LogLastError(log_level::kError, L"Execute: not every host's end can wake the module");
    }
    switch (waitSet->Wait(NextWaitMs())) {
      case xplat::ProcessWaitSet::Woken::Signal:
        if (HasEvents()) return true;
        break;  // a signal without records starts a new wait
      case xplat::ProcessWaitSet::Woken::Failed:
        logger->LogLastError(log_level::kError, L"Execute: the wait for events and hosts failed; waiting for events");
        return WaitForEvents();
      default:
        return false;
    }
  }
}

std::vector<const xplat::ProcessHandle*> Custodex::WatchedProcesses() const {
  std::vector<const xplat::ProcessHandle*> processes;
  if (!settings.wakeOnHostExit) return processes;
  for (const auto& [hostName, record] : hosts) {
    if (record.started == 1) processes.push_back(&record.processHandle);
  }
  for (const DetachedHost& detached : detachedHosts) processes.push_back(&detached.processHandle);
  return processes;
}

std::uint32_t Custodex::NextWaitMs() const {
  std::uint64_t waitMs = static_cast<std::uint64_t>(std::max(WaitTimeout(), 0));
  if (!settings.restartBackOff) return static_cast<std::uint32_t>(waitMs);
  const std::uint64_t now = Now();
  for (const auto& [hostName, record] : hosts) {
    const auto past = history.find(hostName);
    if (record.started != 0 || past == history.end() || !past->second.nextStartMs) continue;
    waitMs = std::min(waitMs, *past->second.nextStartMs > now ? *past->second.nextStartMs - now : 0);
  }
  return static_cast<std::uint32_t>(waitMs);
}

void Custodex::NoteStarted(const HostRecord& record, bool adopted) {
  HostHistory& past = history[record.hostName];
  const std::uint64_t now = Now();
  if (past.startedWallMs != 0) past.restarts.push_back(now);
  ForgetOldRestarts(past, now);
  past.processId = record.processId;
  past.startedMs = now;
  past.startedWallMs = xplat::WallClockMs();
  past.endedWallMs.reset();
  past.exitCode.reset();
  past.adopted = adopted;
  past.nextStartMs.reset();
}

void Custodex::NoteEnded(const HostRecord& record, std::optional<std::uint32_t> exitCode) {
  HostHistory& past = history[record.hostName];
  const std::uint64_t now = Now();
  past.endedWallMs = xplat::WallClockMs();
  past.exitCode = exitCode;
  if (!settings.restartBackOff) return;
  const std::uint64_t ranMs = now - past.startedMs;
  const std::uint32_t delayMs = RestartDelay(ranMs, past.quickExits);
  if (delayMs == 0) return;
  past.nextStartMs = now + delayMs;
  logger->LogMsg(log_level::kNormal,
                 L"CheckThatHostIsStillRunning: %ws ran %u ms and ended with exit code %ws; it starts again in %u ms",
                 record.hostName.c_str(), static_cast<unsigned>(std::min<std::uint64_t>(ranMs, 0xFFFFFFFFu)),
                 exitCode ? std::to_wstring(*exitCode).c_str() : L"unknown", delayMs);
}

// A delayed start that fails is tried again later, not in a loop: it counts
// as a quick exit.
void Custodex::NoteFailedStart(const HostRecord& record) {
  const auto past = history.find(record.hostName);
  if (!settings.restartBackOff || past == history.end() || !past->second.nextStartMs) return;
  past->second.nextStartMs = Now() + RestartDelay(0, past->second.quickExits);
}

bool Custodex::IsBackingOff(const std::wstring& hostName) const {
  const auto past = history.find(hostName);
  return settings.restartBackOff && past != history.end() && past->second.nextStartMs &&
         *past->second.nextStartMs > Now();
}

bool Custodex::HostsDueToStart() const {
  if (!settings.restartBackOff) return false;
  const std::uint64_t now = Now();
  for (const auto& [hostName, record] : hosts) {
    if (record.started != 0) continue;
    const auto past = history.find(hostName);
    if (past != history.end() && past->second.nextStartMs && *past->second.nextStartMs <= now) return true;
  }
  return false;
}

// Stops asked for never count: a host removed and named again starts afresh.
void Custodex::ForgetHistory(const std::wstring& hostName) { history.erase(hostName); }

}  // namespace zav::custody
