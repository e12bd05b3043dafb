#include "xplat/process_wait_set.h"

#include <algorithm>
#include <map>

namespace xplat {

// Handles are told apart by serial numbers, which no later handle reuses as
// it may reuse a descriptor or handle value.
bool ProcessWaitSet::Watch(const std::vector<const ProcessHandle*>& processes) {
  given.clear();
  if (!Usable()) return false;
  std::map<std::uint64_t, const ProcessHandle*> wanted;
  for (const ProcessHandle* process : processes) {
    if (process && *process) wanted.emplace(SerialOf(*process), process);
  }
  given = wanted;
  const std::vector<std::uint64_t> watched = WatchedSerials();
  for (const std::uint64_t serial : watched) {
    if (wanted.count(serial) == 0) RemoveWatch(serial);
  }
  bool all = true;
  for (const auto& [serial, process] : wanted) {
    if (!std::binary_search(watched.begin(), watched.end(), serial)) all = AddWatch(serial, *process) && all;
  }
  return all;
}

bool ProcessWaitSet::Add(const ProcessHandle& process) {
  if (!Usable() || !process) return false;
  const std::uint64_t serial = SerialOf(process);
  if (!given.emplace(serial, &process).second) return true;
  return AddWatch(serial, process);
}

void ProcessWaitSet::Remove(const ProcessHandle& process) {
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
