#include "xplat/posix/process_group_tree.h"

#include <signal.h>

#include <algorithm>
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

// One look, taken while every group whose leader has ended and whose
// members the look did not see is stopped, tells which of them are empty.
void ProcessGroupTree::Refresh(const ProcessStats& look) {
  NoteCpu(look);
  std::vector<Group*> candidates;
  for (Group& group : groups) {
    if (group.zombie->HasEnded() && MembersOf(group.id, look).empty()) candidates.push_back(&group);
  }
  if (candidates.empty()) return;
  for (const Group* group : candidates) ::kill(-group->id, SIGSTOP);
  ProcessStats stopped;
  const bool read = stopped.Read();
  std::vector<pid_t> empty;
  for (const Group* group : candidates) {
    if (read && MembersOf(group->id, stopped).empty()) {
      empty.push_back(group->id);
    } else {
      ::kill(-group->id, SIGCONT);
    }
  }
  groups.erase(std::remove_if(groups.begin(), groups.end(),
                              [&](Group& group) {
                                if (std::find(empty.begin(), empty.end(), group.id) == empty.end()) return false;
                                group.zombie->Release();
                                return true;
                              }),
               groups.end());
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
