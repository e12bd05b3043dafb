#include <algorithm>

#include "hosts/custodex.h"
#include "hosts/host_files.h"
#include "xplat/clock.h"
#include "xplat/scheduling.h"
#include "xplat/system_error.h"

namespace zav::custody {

bool Custodex::CheckThatHostIsStillRunning() {
  logger->LogMsg(log_level::kTrace, L"CheckThatHostIsStillRunning: Enter");
  const std::vector<std::wstring> woken = hostWait ? hostWait->TakeEndedHosts() : std::vector<std::wstring>();
  const std::uint32_t walkIntervalMs = static_cast<std::uint32_t>(std::max(WaitTimeout(), 0));
  const bool noneEnded =
      !woken.empty() && !hostWait->WalkDue(walkIntervalMs) ? RestartEndedHosts(woken) : WalkEveryHost(woken);
  for (auto& [hostName, leftOver] : trees.TellLeftOvers()) events.TellLeftOver(hostName, std::move(leftOver));
  trees.Tend();
  events.Release();
  logger->LogMsg(log_level::kTrace, L"CheckThatHostIsStillRunning: Exit");
  return noneEnded;
}

// Between walks, with wake on host exit: a restart looks at no other host,
// and changes the wait by its host alone. Reap, copy and start come first;
// the lines that tell the end after them.
bool Custodex::RestartEndedHosts(const std::vector<std::wstring>& ended) {
  bool noneEnded = true;
  Adoption::Candidates none;  // a restart never takes another process over
  for (const std::wstring& hostName : ended) {
    const auto found = hosts.find(hostName);
    if (found == hosts.end() || found->second.started != 1) continue;
    HostRecord& record = found->second;
    const ExitRead exit = ReadExit(record);
    if (!exit.ended) continue;
    noneEnded = false;
    record.started = 0;
    NoteEnded(record, exit.ExitCode(), trees.NoteHostEnded(record.hostName));
    hostWait->Unwatch(record);
    StartHost(record, none);
    hostWait->Watch(record);
    SayExitRead(record, exit);
    SayNotRunning(record, exit);
  }
  return noneEnded;
}

void Custodex::SayExitRead(const HostRecord& record, const ExitRead& exit) {
  xplat::SetLastError(exit.error);
  if (!exit.queried) {
    logger->LogLastError(log_level::kError, L"CheckThatHostIsStillRunning: GetExitCodeProcess failed");
    return;
  }
  logger->LogLastError(log_level::kDiagnostic, L"CheckThatHostIsStillRunning: GetExitCodeProcess for %ws returned %d",
                       record.hostName.c_str(), exit.code);
}

void Custodex::SayNotRunning(const HostRecord& record, const ExitRead& exit) {
  xplat::SetLastError(exit.error);
  logger->LogLastError(log_level::kDiagnostic, L"CheckThatHostIsStillRunning: Module %ws is not running.",
                       record.hostName.c_str());
}

bool Custodex::WalkEveryHost(const std::vector<std::wstring>& woken) {
  bool noneEnded = true;
  // With wake on host exit, the hosts whose end woke the loop come first,
  // and what they started runs before the walk goes on.
  for (const std::wstring& hostName : woken) {
    const auto record = hosts.find(hostName);
    if (record != hosts.end() && record->second.started == 1) noneEnded = CheckHost(record->second) && noneEnded;
  }
  if (!woken.empty()) xplat::YieldToOthers();
  // A host passed over while its earlier process ran, or one whose delayed
  // start has come, may start now.
  bool hostMayStart = runs.AnyStartDue();
  for (const std::wstring& hostName : ReapEndedHostsAndDeleteTheirCopies()) {
    const auto record = hosts.find(hostName);
    hostMayStart = hostMayStart || (record != hosts.end() && record->second.started == 0);
  }
  if (hostMayStart) ApplyHostPolicy();
  for (auto& [hostName, record] : hosts) {
    if (record.started == 1) noneEnded = CheckHost(record) && noneEnded;
  }
  for (const std::wstring& hostName : runs.TakeRecovered()) {
    if (!SaysCrashLoops()) continue;
    logger->LogMsg(log_level::kNormal, L"CheckThatHostIsStillRunning: %ws has recovered: it has run %u ms",
                   hostName.c_str(), static_cast<unsigned>(kRecoveryRunMs));
    events.Recovered(hostName);
  }
  if (hostWait) {
    hostWait->WatchAll(hosts, detached, runs);
    hostWait->Walked();
  }
  return noneEnded;
}

// One started host: false when it has ended, and then it is started again
// with every host the policy has not started.
bool Custodex::CheckHost(HostRecord& record) {
  if (!NoteEndIfEnded(record)) return true;
  ApplyHostPolicy();
  return false;
}

bool Custodex::NoteEndIfEnded(HostRecord& record) {
  const ExitRead exit = ReadExit(record);
  SayExitRead(record, exit);
  if (!exit.ended) {
    logger->LogMsg(log_level::kDiagnostic, L"CheckThatHostIsStillRunning: Module %ws already running.",
                   record.hostName.c_str());
    return false;
  }
  SayNotRunning(record, exit);
  record.started = 0;
  NoteEnded(record, exit.ExitCode(), trees.NoteHostEnded(record.hostName));
  return true;
}

void Custodex::NoteEnded(const HostRecord& record, std::optional<std::uint32_t> exitCode,
                         const std::optional<std::vector<std::uint32_t>>& leftOver) {
  const std::wstring reason = ExitReason(record, exitCode);
  const HostRuns::End end = runs.Ended(record.hostName, exitCode, reason);
  events.Ended(record.hostName, record.processId, HostEvents::End{exitCode, reason, end.ranMs, leftOver});
  if (end.delayMs != 0) {
    const std::wstring code = exitCode ? std::to_wstring(*exitCode) : L"unknown";
    logger->LogMsg(
        log_level::kNormal,
        L"CheckThatHostIsStillRunning: %ws ran %u ms and ended with exit code %ws%ws; it starts again in %u ms",
        record.hostName.c_str(), static_cast<unsigned>(std::min<std::uint64_t>(end.ranMs, 0xFFFFFFFFu)), code.c_str(),
        reason.empty() ? L"" : (L" (" + reason + L")").c_str(), end.delayMs);
    events.BackingOff(record.hostName, xplat::WallClockMs() + end.delayMs);
  }
  if (end.crashLoopBegan && SaysCrashLoops()) {
    logger->LogMsg(log_level::kNormal,
                   L"CheckThatHostIsStillRunning: %ws is crash-looping: %u runs in a row ended within %u ms",
                   record.hostName.c_str(), kCrashLoopRuns, static_cast<unsigned>(kQuickExitMs));
    events.CrashLooping(record.hostName);
  }
}

// A copy goes once nothing of its host runs: neither a detached process nor,
// with the tree setting, a process of its tree.
std::vector<std::wstring> Custodex::ReapEndedHostsAndDeleteTheirCopies() {
  std::vector<std::wstring> ended = detached.ReapEnded();
  for (std::wstring& hostName : trees.DropEnded(hosts)) ended.push_back(std::move(hostName));
  ProgramFolder programFolder;
  for (const std::wstring& hostName : ended) {
    if (hosts.count(hostName) != 0 || detached.RunningProcessOf(hostName) ||
        trees.State(hostName) != xplat::TreeState::Empty) {
      continue;
    }
    if (programFolder.path.empty()) programFolder = AgentConfig::ReadExecutePath();
    RemoveHostImage(programFolder, hostName, L"CheckThatHostIsStillRunning");
  }
  return ended;
}

}  // namespace zav::custody
