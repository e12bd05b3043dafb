#pragma once
// Starting a program straight inside a control group: clone3 with
// CLONE_INTO_CGROUP, sharing the caller's memory until the exec as
// posix_spawn does (and, unlike it, setting the child's limits first), so a start costs no copy of the caller's pages
// and nothing the program starts is ever outside the group. The caller is not suspended meanwhile: it waits for the
// exec at most a bound, since a group frozen by a host would hold a suspended caller for good. glibc has no wrapper for
// a clone3 child on a stack of its own: the entry is a few lines of assembly, for x86-64 only.

#include <sys/types.h>

#include <cstdint>

#include "xplat/posix/file_descriptor.h"

namespace xplat {

// How long a start may take until its program runs; past it the child is
// ended and the start abandoned.
constexpr std::uint32_t kStartBoundMs = 1000;

// Whether this build can clone into a control group at all.
bool CanCloneIntoControlGroup();
// The error with which the kernel refused clone3 itself, once it did
// (ENOSYS under a seccomp policy, E2BIG before 5.7): 0 until then. It is
// not asked again.
int CloneRefusal();

enum class CloneOutcome {
  Started,
  GroupGone,     // the group was removed (ENOENT, ENODEV): it may be made anew
  Refused,       // clone3 refused as above, for every group
  GroupRefused,  // this group refused it (a threaded group, say); errno says why
  TimedOut,      // the program did not run within kStartBoundMs; the child was ended
  Failed,        // no process: the program could not run, or none could be made
};

// Starts argv[0] with argv and the caller's environment in the group whose
// folder `controlGroup` refers to (-1: the caller's own group), in a session
// of its own when `leadsSession`; the child starts with no blocked signal,
// every action at its default and the limit of open descriptors of
// ChildOpenFileLimit. errno says why it did not start.
CloneOutcome CloneProgram(char* const* argv, int controlGroup, bool leadsSession, pid_t& pid, FileDescriptor& pidfd);
inline CloneOutcome CloneIntoControlGroup(char* const* argv, int controlGroup, pid_t& pid, FileDescriptor& pidfd) {
  return CloneProgram(argv, controlGroup, true, pid, pidfd);
}

// For tests: clone3 fails with this error; 0 lets the kernel answer again.
void SetCloneRefusalForTesting(int error);

}  // namespace xplat
