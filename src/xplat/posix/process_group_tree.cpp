#include "xplat/posix/process_group_tree.h"

#include <signal.h>

#include <cerrno>

#include "xplat/posix/process_handle_impl.h"
#include "xplat/posix/spawn_placement.h"

namespace xplat {
namespace {

std::vector<ProcessStat> MembersOf(pid_t group, const ProcessStats& look) {
  std::vector<ProcessStat> members;
  for (const auto& [processId, process] : look.All()) {
    if (process.processGroup == group && process.Runs()) members.push_back(process);
  }
  return members;
}

}  // namespace

ProcessGroupTree::~ProcessGroupTree() {
  for (Group& group : groups) group.zombie->Release();
}

bool ProcessGroupTree::Start(const std::wstring& image, const std::wstring& arguments, StartedProcess& started) {
  SpawnPlacement placement;
  placement.leadsSession = true;
  if (StartPlacedProgram(image, arguments, placement, started) != PlacedStart::Started) return false;
  auto zombie = std::make_shared<HeldZombie>(ProcessAccess::PidFd(started.process));
  ProcessAccess::Of(started.process).zombie = zombie;
  groups.push_back(Group{static_cast<pid_t>(started.processId), std::move(zombie)});
  return true;
}

void ProcessGroupTree::AppendIds(const ProcessStats& look, std::vector<std::uint32_t>& ids) const {
  for (const Group& group : groups) {
    for (const ProcessStat& member : MembersOf(group.id, look))
      ids.push_back(static_cast<std::uint32_t>(member.processId));
  }
}

bool ProcessGroupTree::Terminate() const {
  bool all = true;
  for (const Group& group : groups) all = (::kill(-group.id, SIGKILL) == 0 || errno == ESRCH) && all;
  return all;
}

bool ProcessGroupTree::IsEmpty(const Group& group, const ProcessStats& look) const {
  if (!group.zombie->HasEnded() || !MembersOf(group.id, look).empty()) return false;
  if (::kill(-group.id, SIGSTOP) != 0) return errno == ESRCH;
  ProcessStats stopped;
  const bool read = stopped.Read();
  const bool empty = read && MembersOf(group.id, stopped).empty();
  if (!empty) ::kill(-group.id, SIGCONT);
  return empty;
}

bool ProcessGroupTree::Refresh(const ProcessStats& look) {
  NoteCpu(look);
  for (auto group = groups.begin(); group != groups.end();) {
    if (!IsEmpty(*group, look)) {
      ++group;
      continue;
    }
    group->zombie->Release();
    group = groups.erase(group);
  }
  return true;
}

std::map<std::pair<pid_t, std::uint64_t>, CpuTimes> ProcessGroupTree::MembersCpu(const ProcessStats& look) const {
  std::map<std::pair<pid_t, std::uint64_t>, CpuTimes> members;
  for (const Group& group : groups) {
    for (const ProcessStat& member : MembersOf(group.id, look)) {
      members[{member.processId, member.startTicks}] = CpuTimes{member.userTicks, member.kernelTicks};
    }
  }
  return members;
}

// A member gone keeps the CPU time it had when last seen.
void ProcessGroupTree::NoteCpu(const ProcessStats& look) {
  std::map<std::pair<pid_t, std::uint64_t>, CpuTimes> seen = MembersCpu(look);
  for (const auto& [member, ticks] : seenCpu) {
    if (seen.count(member) != 0) continue;
    endedTicks.userMs += ticks.userMs;
    endedTicks.kernelMs += ticks.kernelMs;
  }
  seenCpu = std::move(seen);
}

CpuTimes ProcessGroupTree::Cpu(const ProcessStats& look) const {
  std::map<std::pair<pid_t, std::uint64_t>, CpuTimes> members = MembersCpu(look);
  CpuTimes ticks = endedTicks;
  for (const auto& [member, times] : seenCpu) members.emplace(member, times);  // ended since the last refresh
  for (const auto& [member, times] : members) {
    ticks.userMs += times.userMs;
    ticks.kernelMs += times.kernelMs;
  }
  return CpuTimes{TicksToMs(ticks.userMs), TicksToMs(ticks.kernelMs)};
}

}  // namespace xplat
