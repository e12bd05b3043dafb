#include "hosts/supervision/host_runs.h"

#include <algorithm>

#include "xplat/clock.h"

namespace zav::custody {
namespace {

std::uint64_t Now() { return xplat::CurrentClock().NowMs(); }

constexpr std::uint64_t kMinuteMs = 60 * 1000;

}  // namespace

void RestartCounts::Add(std::uint64_t nowMs) {
  const std::uint64_t minute = nowMs / kMinuteMs;
  const std::size_t slot = minute % kMinutes;
  if (minutes[slot] != minute) counts[slot] = 0;
  minutes[slot] = minute;
  ++counts[slot];
}

std::size_t RestartCounts::InLastHour(std::uint64_t nowMs) const {
  const std::uint64_t minute = nowMs / kMinuteMs;
  std::size_t count = 0;
  for (std::size_t slot = 0; slot < kMinutes; ++slot) {
    if (minute - minutes[slot] < kMinutes) count += counts[slot];
  }
  return count;
}

void WakeTimes::Set(const std::wstring& hostName, std::optional<std::uint64_t> dueMs) {
  const auto found = dueByHost.find(hostName);
  if (found != dueByHost.end()) {
    if (dueMs == found->second) return;
    hostsByDue.erase({found->second, hostName});
    dueByHost.erase(found);
  }
  if (!dueMs) return;
  dueByHost.emplace(hostName, *dueMs);
  hostsByDue.emplace(*dueMs, hostName);
}

std::optional<std::uint64_t> WakeTimes::Earliest() const {
  if (hostsByDue.empty()) return std::nullopt;
  return hostsByDue.begin()->first;
}

std::uint32_t RestartDelay(std::uint64_t runMs, unsigned& quickExits) {
  if (runMs >= kSteadyRunMs) quickExits = 0;
  if (runMs >= kQuickExitMs) return 0;
  ++quickExits;
  if (quickExits == 1) return 0;
  const unsigned doublings = std::min(quickExits - 2, 20u);
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{1000} << doublings, kLongestBackOffMs));
}

void HostRuns::Started(const std::wstring& hostName, std::uint32_t processId, bool adopted) {
  HostRun& run = runs[hostName];
  const std::uint64_t now = Now();
  if (run.HasStarted()) run.restarts.Add(now);
  run.processId = processId;
  run.startedMs = now;
  run.startedWallMs = xplat::WallClockMs();
  run.endedWallMs.reset();
  run.endSeenMs.reset();
  endsSeen.erase(hostName);
  run.exitCode.reset();
  run.adopted = adopted;
  run.nextStartMs.reset();
  run.failedWith.reset();
  Reindex(hostName, run);
}

HostRuns::End HostRuns::Ended(const std::wstring& hostName, std::optional<std::uint32_t> exitCode,
                              const std::wstring& reason) {
  HostRun& run = runs[hostName];
  const std::uint64_t now = Now();
  if (!run.endSeenMs) run.endedWallMs = xplat::WallClockMs();
  const std::uint64_t endedMs = run.endSeenMs.value_or(now);
  run.endSeenMs.reset();
  endsSeen.erase(hostName);
  run.exitCode = exitCode;
  run.reason = reason;
  End end{endedMs - run.startedMs, 0};
  run.quickRuns = end.ranMs < kQuickExitMs ? run.quickRuns + 1 : 0;
  end.crashLoopBegan = !run.crashLooping && run.quickRuns >= kCrashLoopRuns;
  run.crashLooping = run.crashLooping || end.crashLoopBegan;
  if (backOff) end.delayMs = RestartDelay(end.ranMs, run.quickExits);
  if (spaced && end.ranMs < kStartIntervalMs) {
    end.delayMs = std::max(end.delayMs, static_cast<std::uint32_t>(kStartIntervalMs - end.ranMs));
  }
  if (end.delayMs != 0) run.nextStartMs = endedMs + end.delayMs;
  if (run.nextStartMs && *run.nextStartMs <= now) run.nextStartMs.reset();
  end.delayMs = run.nextStartMs ? static_cast<std::uint32_t>(*run.nextStartMs - now) : 0;
  Reindex(hostName, run);
  return end;
}

void HostRuns::EndSeen(const std::wstring& hostName) {
  HostRun& run = runs[hostName];
  run.endSeenMs = Now();
  run.endedWallMs = xplat::WallClockMs();
  endsSeen.insert(hostName);
  Reindex(hostName, run);
}

bool HostRuns::IsEndSeen(const std::wstring& hostName) const { return endsSeen.count(hostName) != 0; }

bool HostRuns::StartFailed(const std::wstring& hostName, std::uint32_t error) {
  HostRun& run = runs[hostName];
  if (run.nextStartMs && backOff) {
    run.nextStartMs = Now() + RestartDelay(0, run.quickExits);
  } else {
    run.nextStartMs.reset();
  }
  const bool said = run.failedWith == error;
  run.failedWith = error;
  run.failedMs = Now();
  Reindex(hostName, run);
  return !said;
}

bool HostRuns::MayTryStart(const std::wstring& hostName) const {
  const HostRun* run = Find(hostName);
  return !run || !run->failedWith || Now() - run->failedMs >= kStartIntervalMs;
}

std::vector<std::wstring> HostRuns::TakeRecovered() {
  std::vector<std::wstring> recovered;
  const std::uint64_t now = Now();
  if (!AnyWakeDue(now)) return recovered;
  for (auto& [hostName, run] : runs) {
    if (!run.crashLooping || !run.Runs() || now - run.startedMs < kRecoveryRunMs) continue;
    run.crashLooping = false;
    Reindex(hostName, run);
    recovered.push_back(hostName);
  }
  return recovered;
}

const HostRun* HostRuns::Find(const std::wstring& hostName) const {
  ++looks;
  const auto run = runs.find(hostName);
  return run == runs.end() ? nullptr : &run->second;
}

std::uint64_t HostRuns::RanMs(const std::wstring& hostName) const {
  const HostRun* run = Find(hostName);
  return run && run->HasStarted() ? run->endSeenMs.value_or(Now()) - run->startedMs : 0;
}

bool HostRuns::IsBackingOff(const std::wstring& hostName) const {
  const HostRun* run = Find(hostName);
  return run && run->nextStartMs && *run->nextStartMs > Now();
}

// A delayed start is cleared when the host starts, so every one that is
// set belongs to a host not started since.
bool HostRuns::AnyStartDue() const {
  const std::uint64_t now = Now();
  return AnyWakeDue(now) && std::any_of(runs.begin(), runs.end(), [now](const auto& entry) {
           return entry.second.nextStartMs && *entry.second.nextStartMs <= now;
         });
}

// Every delayed start and recovery is a wake: before the earliest, the runs
// need no look.
bool HostRuns::AnyWakeDue(std::uint64_t nowMs) const {
  const std::optional<std::uint64_t> due = wakes.Earliest();
  return due && *due <= nowMs;
}

std::uint32_t HostRuns::WaitMs(std::uint32_t longestMs) const {
  const std::optional<std::uint64_t> due = wakes.Earliest();
  const std::uint64_t now = Now();
  if (!due) return longestMs;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(longestMs, *due > now ? *due - now : 0));
}

void HostRuns::Forget(const std::wstring& hostName) {
  runs.erase(hostName);
  endsSeen.erase(hostName);
  wakes.Set(hostName, std::nullopt);
}

void HostRuns::Reindex(const std::wstring& hostName, const HostRun& run) {
  std::optional<std::uint64_t> due = run.nextStartMs;
  if (run.crashLooping && run.Runs()) {
    due = std::min(due.value_or(UINT64_MAX), run.startedMs + kRecoveryRunMs);
  }
  wakes.Set(hostName, due);
}

std::size_t HostRuns::RestartsInLastHour(const HostRun& run) const { return run.restarts.InLastHour(Now()); }

}  // namespace zav::custody
