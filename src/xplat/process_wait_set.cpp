#include "xplat/process_wait_set.h"

#include <algorithm>
#include <map>
#include <utility>

namespace xplat {

// Handles are told apart by serial numbers, which no later handle reuses as
// it may reuse a descriptor or handle value.
bool ProcessWaitSet::Watch(const std::vector<const ProcessHandle*>& processes) {
  settled = false;
  if (!Usable()) {
    given.clear();
    return false;
  }
  using Given = std::pair<std::uint64_t, const ProcessHandle*>;
  const auto bySerial = [](const Given& a, const Given& b) { return a.first < b.first; };
  const auto sameSerial = [](const Given& a, const Given& b) { return a.first == b.first; };
  std::vector<Given> wanted;
  wanted.reserve(processes.size());
  for (const ProcessHandle* process : processes) {
    if (process && *process) wanted.emplace_back(SerialOf(*process), process);
  }
  // The first handle given for a process stands.
  std::stable_sort(wanted.begin(), wanted.end(), bySerial);
  wanted.erase(std::unique(wanted.begin(), wanted.end(), sameSerial), wanted.end());
  given = std::map<std::uint64_t, const ProcessHandle*>(wanted.begin(), wanted.end());
  const std::vector<std::uint64_t> watched = WatchedSerials();
  for (const std::uint64_t serial : watched) {
    if (given.count(serial) == 0) RemoveWatch(serial);
  }
  bool all = true;
  for (const auto& [serial, process] : wanted) {
    if (!std::binary_search(watched.begin(), watched.end(), serial)) all = AddWatch(serial, *process) && all;
  }
  lastGiven = Identities(processes);
  settled = true;
  return all;
}

bool ProcessWaitSet::Holds(const std::vector<const ProcessHandle*>& processes) const {
  return settled && WatchedCount() == given.size() && Identities(processes) == lastGiven;
}

// Serials tell a handle from one that took its place at the same address.
std::vector<std::pair<const ProcessHandle*, std::uint64_t>> ProcessWaitSet::Identities(
    const std::vector<const ProcessHandle*>& processes) {
  std::vector<std::pair<const ProcessHandle*, std::uint64_t>> identities;
  identities.reserve(processes.size());
  for (const ProcessHandle* process : processes) {
    identities.emplace_back(process, process && *process ? SerialOf(*process) : 0);
  }
  return identities;
}

bool ProcessWaitSet::Add(const ProcessHandle& process) {
  settled = false;
  if (!Usable() || !process) return false;
  const std::uint64_t serial = SerialOf(process);
  if (!given.emplace(serial, &process).second) return true;
  return AddWatch(serial, process);
}

void ProcessWaitSet::Remove(const ProcessHandle& process) {
  settled = false;
  if (!process) return;
  const std::uint64_t serial = SerialOf(process);
  if (given.erase(serial) != 0 && IsWatched(serial)) RemoveWatch(serial);
}

std::vector<const ProcessHandle*> ProcessWaitSet::Ended() const {
  std::vector<const ProcessHandle*> ended;
  for (const std::uint64_t serial : EndedSerials()) {
    const auto process = given.find(serial);
    if (process != given.end()) ended.push_back(process->second);
  }
  return ended;
}

}  // namespace xplat
