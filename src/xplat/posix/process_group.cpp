#include "xplat/posix/process_group.h"

#include <signal.h>
// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}

#include <cerrno>

#include "xplat/posix/file_descriptor.h"

namespace xplat {

bool LedGroup::Verifies(const ProcessStat& process, const ProcessStats& look) const {
  return process.processGroup == id && process.session == id && process.startTicks >= startTicks && process.Runs() &&
         look.RunsAsCaller(process.processId);
}

std::vector<ProcessStat> LedGroup::Members(const ProcessStats& look) const {
  std::vector<ProcessStat> members;
  for (const auto& [processId, process] : look.All()) {
    if (Verifies(process, look)) members.push_back(process);
  }
  return members;
}

// kill() with no signal only asks whether any process has the group's id.
bool LedGroup::IsGone() const { return ::kill(-id, 0) != 0 && errno == ESRCH; }

// The leader's id is held while anything of the group or its session runs:
// another process with that id means all of them have ended.
bool LedGroup::HasEnded(const ProcessStats& look) const {
  const auto leader = look.All().find(id);
  return (leader != look.All().end() && leader->second.startTicks != startTicks) || IsGone();
}

bool LedGroup::EndMembers(const ProcessStats& look) const {
  bool all = true;
  for (const ProcessStat& member : Members(look)) {
    const FileDescriptor pidfd(::pidfd_open(member.processId, 0));
    // Read again once opened: what it says is then of the process the pidfd holds.
    const std::optional<ProcessStat> opened = pidfd ? ReadProcessStat(member.processId) : std::nullopt;
    if (!opened || opened->startTicks != member.startTicks || !Verifies(*opened, ProcessStats())) continue;
    all = (::pidfd_send_signal(pidfd.Get(), SIGKILL, nullptr, 0) == 0 || errno == ESRCH) && all;
  }
  return all;
}

}  // namespace xplat
