#include "xplat/posix/process_group.h"

#include <signal.h>
// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}

#include <cerrno>

#include "xplat/posix/file_descriptor.h"

namespace xplat {

bool LedGroup::Verifies(const ProcessStat& process) const {
  return process.processGroup == id && process.session == id && process.startTicks >= startTicks && process.Runs() &&
         RunsAsCaller(process.processId);
}

std::vector<ProcessStat> LedGroup::Members(const ProcessStats& look) const {
  std::vector<ProcessStat> members;
  for (const auto& [processId, process] : look.All()) {
    if (Verifies(process)) members.push_back(process);
  }
  return members;
}

// The leader's id is held while anything of the group or its session runs:
// another process with that id means all of them have ended. kill() with
// no signal only asks whether any process has the group's id.
bool LedGroup::HasEnded(const ProcessStats& look) const {
  const auto leader = look.All().find(id);
  if (leader != look.All().end() && leader->second.startTicks != startTicks) return true;
  return ::kill(-id, 0) != 0 && errno == ESRCH;
}

bool LedGroup::EndMembers(const ProcessStats& look) const {
  bool all = true;
  for (const ProcessStat& member : Members(look)) {
    const FileDescriptor pidfd(::pidfd_open(member.processId, 0));
    const std::optional<ProcessStat> opened = pidfd ? ReadProcessStat(member.processId) : std::nullopt;
    if (!opened || opened->startTicks != member.startTicks || !Verifies(*opened)) continue;  // ended meanwhile
    all = (::pidfd_send_signal(pidfd.Get(), SIGKILL, nullptr, 0) == 0 || errno == ESRCH) && all;
  }
  return all;
}

}  // namespace xplat
