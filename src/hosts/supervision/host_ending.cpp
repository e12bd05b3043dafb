#include "hosts/supervision/host_ending.h"

#include <algorithm>
#include <set>

#include "xplat/clock.h"

namespace zav::custody {
namespace {

// A host ended from outside: its exit code (on Linux it dies of SIGKILL).
constexpr std::uint32_t kEndedExitCode = 1;
constexpr std::uint32_t kHostExitWaitMs = 20000;
// How long the end of the hosts ended from outside may take in all.
constexpr std::uint32_t kEndedWaitMs = 5000;

}  // namespace

// Whether the copy goes is decided once, after the wait: a process that ends
// later is reaped as a detached one, and its copy deleted then.
bool HostEnding::EndForRemoval(HostRecord& record) {
  std::set<std::wstring> endedByModule;
  if (!WaitForHost(record, kHostExitWaitMs) && stopHostsThatDoNotEnd) {
    endedByModule = EndHosts({{record.hostName, &record}}, kEndedWaitMs);
  }
  return DetachAndKeepCopyIfStillRunning(record, log_level::kNormal,
                                         L"Execute: process %ws did not end; its copy is kept until it does",
                                         endedByModule.count(record.hostName) != 0);
}

// Every host process is waited for, however many there are, those without
// a record included; records that never started have nothing to wait for.
// The module ends: a copy kept is replaced by the host's next start.
void HostEnding::EndForUpgrade(HostContainer& hosts,
                               const std::function<void(const std::wstring&, bool copyKept)>& done) {
  const bool ended = WaitForAll(hosts, kHostExitWaitMs);
  if (!ended) logger.LogMsg(log_level::kDiagnostic, L"Execute: waiting for hosts to exit timed out.");
  std::set<std::wstring> endedByModule;
  if (!ended && stopHostsThatDoNotEnd) endedByModule = EndEveryHost(hosts, kEndedWaitMs);
  for (auto next = hosts.begin(); next != hosts.end();) {
    const std::wstring hostName = next->first;
    HostRecord& record = (next++)->second;
    done(hostName, DetachAndKeepCopyIfStillRunning(record, log_level::kDiagnostic,
                                                   L"Execute: host %ws still runs; its copy is kept",
                                                   endedByModule.count(hostName) != 0));
  }
}

bool HostEnding::DetachAndKeepCopyIfStillRunning(HostRecord& record, LogLevel level, const wchar_t* keptLine,
                                                 bool endedByModule) {
  if (!StillRuns(record)) {
    if (!endedByModule) TellEndOfRemovedRun(record);
    return false;
  }
  logger.LogMsg(level, keptLine, record.hostName.c_str());
  std::optional<std::uint32_t> running;
  if (!record.processHandle.HasEnded()) {
    running = record.processId;
    detached.Detach(record);
  }
  if (!endedByModule) events.CopyKept(record.hostName, running);
  return true;
}

// An exit code that cannot be read is told unknown: the host has ended all the same.
void HostEnding::TellEndOfRemovedRun(const HostRecord& record) {
  if (record.started != 1) return;
  const std::optional<std::uint32_t> exitCode = ReadExit(record).ExitCode();
  events.Ended(record.hostName, record.processId,
               HostEvents::End{exitCode, ExitReason(record, exitCode), runs.RanMs(record.hostName), std::nullopt});
}

bool HostEnding::Ended(xplat::TreeState state, const wchar_t* whose) const {
  if (state == xplat::TreeState::Unknown) {
    logger.LogLastError(log_level::kError, L"Execute: the process tree of %ws cannot be read; it counts as running",
                        whose);
  }
  return state == xplat::TreeState::Empty;
}

bool HostEnding::WaitForHost(const HostRecord& record, std::uint32_t ms) const {
  const xplat::ProcessTree* tree = trees.Find(record.hostName);
  if (!tree) return record.processHandle.WaitForExit(ms);
  const std::uint64_t start = xplat::CurrentClock().NowMs();
  if (!record.processHandle.HasEnded() && !record.processHandle.WaitForExit(ms)) return false;
  return Ended(tree->WaitUntilEmpty(xplat::TimeLeftMs(start, ms)), record.hostName.c_str());
}

bool HostEnding::WaitForAll(const HostContainer& hosts, std::uint32_t ms) const {
  std::vector<const xplat::ProcessHandle*> processes;
  for (const auto& [hostName, record] : hosts) {
    if (record.processHandle) processes.push_back(&record.processHandle);
  }
  for (const DetachedHost& host : detached.All()) processes.push_back(&host.processHandle);
  const std::uint64_t start = xplat::CurrentClock().NowMs();
  const bool ended = xplat::WaitForAllProcesses(processes, ms) != xplat::WaitAllResult::TimedOut;
  if (!trees.Enabled()) return ended;
  return Ended(trees.WaitUntilEmpty(trees.All(), xplat::TimeLeftMs(start, ms)), L"the hosts") && ended;
}

std::set<std::wstring> HostEnding::EndHosts(const std::vector<std::pair<std::wstring, HostRecord*>>& hosts,
                                            std::uint32_t ms) const {
  std::vector<const xplat::ProcessHandle*> processes;
  std::vector<const xplat::ProcessTree*> ended;
  std::vector<std::pair<std::wstring, const HostRecord*>> named;
  {
    const xplat::ProcessTreeSet::Round round = trees.OneLook();
    for (const auto& [hostName, record] : hosts) {
      if (EndHost(hostName, record, processes, ended)) named.emplace_back(hostName, record);
    }
  }
  const std::uint64_t start = xplat::CurrentClock().NowMs();
  xplat::WaitForAllProcesses(processes, ms);
  trees.WaitUntilEmpty(ended, xplat::TimeLeftMs(start, ms));
  std::set<std::wstring> names;
  for (const auto& [hostName, record] : named) {
    names.insert(hostName);
    if (Runs(hostName, record)) logger.LogMsg(log_level::kError, L"Execute: host %ws still runs after it was ended", hostName.c_str());
  }
  return names;
}

std::set<std::wstring> HostEnding::EndEveryHost(HostContainer& hosts, std::uint32_t ms) const {
  std::set<std::wstring> names;
  for (const auto& [hostName, record] : hosts) names.insert(hostName);
  for (const DetachedHost& host : detached.All()) names.insert(host.hostName);
  for (const std::wstring& hostName : trees.Names()) names.insert(hostName);
  std::vector<std::pair<std::wstring, HostRecord*>> ended;
  for (const std::wstring& hostName : names) {
    const auto record = hosts.find(hostName);
    ended.emplace_back(hostName, record == hosts.end() ? nullptr : &record->second);
  }
  return EndHosts(ended, ms);
}

// Every process is named before any is ended; a tree that cannot be listed
// is ended all the same.
bool HostEnding::EndHost(const std::wstring& hostName, HostRecord* record,
                         std::vector<const xplat::ProcessHandle*>& processes,
                         std::vector<const xplat::ProcessTree*>& ended) const {
  xplat::ProcessTree* tree = trees.Find(hostName);
  const xplat::TreeState state = tree ? tree->State() : xplat::TreeState::Empty;
  std::optional<std::vector<std::uint32_t>> running =
      state == xplat::TreeState::Empty ? std::vector<std::uint32_t>() : tree->ProcessIds();
  const bool ownRuns = record && !record->processHandle.HasEnded();
  if (running && ownRuns) running->push_back(record->processId);
  for (const std::uint32_t processId : detached.RunningProcessesOf(hostName)) {
    if (running) running->push_back(processId);
  }
  if (running && running->empty() && state == xplat::TreeState::Empty) return false;
  if (running) {
    std::sort(running->begin(), running->end());
    running->erase(std::unique(running->begin(), running->end()), running->end());
  }
  logger.LogMsg(log_level::kNormal, L"Execute: host %ws did not end in time; it is ended: processes %ws",
                hostName.c_str(), running ? ProcessIdList(*running).c_str() : L"that cannot be listed");
  events.EndedByModule(hostName, running);
  if (tree) {
    tree->Terminate(kEndedExitCode);
    ended.push_back(tree);
  }
  if (ownRuns) {
    record->processHandle.Terminate(kEndedExitCode);
    processes.push_back(&record->processHandle);
  }
  for (const xplat::ProcessHandle* process : detached.EndProcessesOf(hostName, kEndedExitCode))
    processes.push_back(process);
  return true;
}

// An own process whose state cannot be read runs: only it can say it has ended.
bool HostEnding::StillRuns(const HostRecord& record) const { return Runs(record.hostName, &record); }

bool HostEnding::Runs(const std::wstring& hostName, const HostRecord* record) const {
  return (record && !record->processHandle.HasEnded()) || detached.RunningProcessOf(hostName) ||
         trees.State(hostName) != xplat::TreeState::Empty;
}

}  // namespace zav::custody
