#include "hosts/supervision/host_ending.h"

#include <algorithm>
#include <set>

#include "xplat/clock.h"

namespace zav::custody {
namespace {

// A host ended from outside: its exit code (on Linux it dies of SIGKILL).
constexpr std::uint32_t kEndedExitCode = 1;

}  // namespace

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
