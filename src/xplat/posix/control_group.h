#pragma once
// One control group (cgroup v2) of a process tree, asked and acted on only
// through the kernel's own files: whether it or any group beneath it holds
// a process ("populated" in cgroup.events, which the kernel also signals),
// which processes, their CPU time and peak memory, and ending them all.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "xplat/posix/file_descriptor.h"
#include "xplat/process_tree.h"

namespace xplat {

struct CpuTimes {
  std::uint64_t userMs = 0;
  std::uint64_t kernelMs = 0;
};

class ControlGroup {
 public:
  // `relative`: the group's folder beneath the hierarchy's mount.
  ControlGroup(std::string mount, std::string relative)
      : mount(std::move(mount)), relative(std::move(relative)) {}

  std::string Folder() const { return mount + relative; }
  bool Make() const;
  // Removes the group once it and every group beneath it are empty; a
  // group already gone counts as removed.
  bool Remove() const;

  // A folder removed from outside holds nothing: only an empty group can go.
  TreeState State() const;
  // Its processes and those of every group beneath it; nothing, with errno,
  // when a list cannot be read. A threaded group lists its threads' processes.
  std::optional<std::vector<pid_t>> Members() const;
  // Whether the thread (or process) is in this group or beneath it, as the kernel says.
  bool Holds(pid_t thread) const;

  // Ends every process beneath the group in one step (cgroup.kill), then
  // what survives it through pidfds; where cgroup.kill is missing or refused
  // (a threaded group), the group is frozen, its members ended one by one,
  // then thawed.
  bool Kill() const;
  // Ends through its pidfd each member still listed.
  bool KillMembers() const;

  std::optional<CpuTimes> Cpu() const;
  std::optional<std::uint64_t> PeakMemoryBytes() const;

  // The kernel's cgroup.events of the group, opened and read so that a poll
  // for POLLPRI returns at its next change, and the state that read gives.
  struct WatchedEvents {
    FileDescriptor events;  // none when it cannot be opened or read
    TreeState state = TreeState::Unknown;
  };
  WatchedEvents OpenEvents() const;
  // The state an opened cgroup.events tells now; Unknown when it cannot be read.
  static TreeState ReadEvents(const FileDescriptor& events);

 private:
  std::string mount;
  std::string relative;
};

// For tests: kernels before 5.14 have no cgroup.kill.
void SetGroupKillMissingForTesting(bool missing);

}  // namespace xplat
