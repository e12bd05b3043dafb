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

bool ProcessGroupTree::Start(const std::wstring& image, const std::wstring& arguments, StartedProcess& started,
                             std::uint64_t run) {
  SpawnPlacement placement;
  placement.leadsSession = true;
  if (StartPlacedProgram(image, arguments, placement, started) != PlacedStart::Started) return false;
  auto zombie = std::make_shared<HeldZombie>(ProcessAccess::PidFd(started.process));
  ProcessAccess::Of(started.process).zombie = zombie;
  groups.push_back(Group{static_cast<pid_t>(started.processId), std::move(zombie), run});
  return true;
}

void ProcessGroupTree::AppendIds(const ProcessStats& look, std::vector<std::uint32_t>& ids,
                                 std::uint64_t lastRun) const {
  for (const Group& group : groups) {
    if (group.run > lastRun) continue;
    for (const ProcessStat& member : MembersOf(group.id, look))
      ids.push_back(static_cast<std::uint32_t>(member.processId));
  }
}

bool ProcessGroupTree::Terminate() const {
  bool all = true;
  for (const Group& group : groups) all = (::kill(-group.id, SIGKILL) == 0 || errno == ESRCH) && all;
  return all;
}

std::vector<pid_t> ProcessGroupTree::InDoubt(const ProcessStats& look) const {
  std::vector<pid_t> inDoubt;
  for (const Group& group : groups) {
    if (group.zombie->HasEnded() && MembersOf(group.id, look).empty()) inDoubt.push_back(group.id);
  }
  return inDoubt;
}

// A group with members found while stopped goes on.
void ProcessGroupTree::DropEmpty(const std::vector<pid_t>& inDoubt, const ProcessStats* stopped) {
  std::vector<pid_t> empty;
  for (const pid_t id : inDoubt) {
    if (stopped && MembersOf(id, *stopped).empty()) {
      empty.push_back(id);
    } else {
      ::kill(-id, SIGCONT);
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

// While stopped, no member of a group in doubt can start another, so the
// look cannot miss a fast chain.
void ProcessGroupTree::Refresh(const std::vector<ProcessGroupTree*>& trees, const ProcessStats& look) {
  std::vector<std::vector<pid_t>> inDoubt;
  bool any = false;
  for (ProcessGroupTree* tree : trees) {
    tree->NoteCpu(look);
    inDoubt.push_back(tree->InDoubt(look));
    any = any || !inDoubt.back().empty();
  }
  if (!any) return;
  for (const std::vector<pid_t>& ids : inDoubt) {
    for (const pid_t id : ids) ::kill(-id, SIGSTOP);
  }
  ProcessStats stopped;
  const bool read = stopped.Read();
  for (std::size_t i = 0; i < trees.size(); ++i) trees[i]->DropEmpty(inDoubt[i], read ? &stopped : nullptr);
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
