#pragma once
// A tree of process groups, where no control group can hold one: each
// program started leads a session and process group of its own, and the
// tree holds the program's zombie until nothing is left in its group. While
// it is held, its id names no other process, group or session, so the
// group's members are exactly what the program started that did not leave
// the group: kill(-id) ends them all in one step, those being forked
// included. /proc only names them. The zombie itself counts for kill(-id),
// so whether a group whose leader has ended is empty is told by a listing
// taken while the group is stopped (SIGSTOP), when no member can start
// another; members found then are let go on (SIGCONT).

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "xplat/posix/control_group.h"
#include "xplat/posix/process_stat.h"
#include "xplat/process.h"

namespace xplat {

struct HeldZombie;

class ProcessGroupTree {
 public:
  ProcessGroupTree() = default;
  // Lets every leader go: those ended are reaped.
  ~ProcessGroupTree();
  ProcessGroupTree(ProcessGroupTree&&) noexcept = default;
  ProcessGroupTree& operator=(ProcessGroupTree&&) noexcept = default;

  // False, with errno, when the program did not start; then nothing of it runs.
  // `run` numbers the group, for AppendIds.
  bool Start(const std::wstring& image, const std::wstring& arguments, StartedProcess& started, std::uint64_t run);
  // A group counts until a refresh finds it empty.
  bool HoldsGroups() const { return !groups.empty(); }
  // The members the look shows of the groups of runs up to `lastRun`.
  void AppendIds(const ProcessStats& look, std::vector<std::uint32_t>& ids, std::uint64_t lastRun) const;
  bool Terminate() const;
  // Drops, in every tree, the groups whose leader has ended and that hold
  // nothing more, reaping the leader, and notes the members' CPU time: one
  // look, taken while every group in doubt is stopped, tells them all. A
  // group whose state cannot be read stays.
  static void Refresh(const std::vector<ProcessGroupTree*>& trees, const ProcessStats& look);
  // The CPU time of the members the look shows, and of those that ended
  // as they were last seen.
  CpuTimes Cpu(const ProcessStats& look) const;
  bool HasSeenMembers() const { return !seenCpu.empty() || endedTicks.userMs + endedTicks.kernelMs != 0; }

 private:
  struct Group {
    pid_t id = 0;                        // its leader's process id: the group's and its session's
    std::shared_ptr<HeldZombie> zombie;  // its leader's
    std::uint64_t run = 0;
  };

  // The groups whose leader has ended and whose members the look did not see.
  std::vector<pid_t> InDoubt(const ProcessStats& look) const;
  void DropEmpty(const std::vector<pid_t>& inDoubt, const ProcessStats* stopped);
  void NoteCpu(const ProcessStats& look);
  std::map<std::pair<pid_t, std::uint64_t>, CpuTimes> MembersCpu(const ProcessStats& look) const;

  std::vector<Group> groups;
  // In clock ticks: each member as last seen, and those that have ended since.
  std::map<std::pair<pid_t, std::uint64_t>, CpuTimes> seenCpu;
  CpuTimes endedTicks;
};

}  // namespace xplat
