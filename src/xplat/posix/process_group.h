#pragma once
// A process group that a program started in a tree leads, in a session of
// its own: where no control group can hold a tree. A group's id is only a
// number, free for another process once the group has ended, so a process
// counts as a member only when a look verifies it, and is ended only
// through its pidfd after that check.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "xplat/posix/process_stat.h"

namespace xplat {

struct LedGroup {
  pid_t id = 0;  // its leader's process id: the group's and its session's
  std::uint64_t startTicks = 0;  // its leader's start: no member is older

  // A member runs as the caller's user, in the group and its session, and
  // started since the group was made.
  bool Verifies(const ProcessStat& process, const ProcessStats& look) const;
  // The processes of the look that are its members.
  std::vector<ProcessStat> Members(const ProcessStats& look) const;
  // Whether the kernel knows of no process with the group's id any more.
  bool IsGone() const;
  // Whether the group has ended for good: gone, or its leader's id went to
  // another process.
  bool HasEnded(const ProcessStats& look) const;
  // Ends each member of the look through its pidfd, checked once opened.
  bool EndMembers(const ProcessStats& look) const;
};

}  // namespace xplat
