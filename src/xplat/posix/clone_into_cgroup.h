#pragma once
// Starting a program straight inside a control group: clone3 with
// CLONE_INTO_CGROUP, sharing the caller's memory until the exec as
// posix_spawn does, so a start costs no copy of the caller's pages and
// nothing the program starts is ever outside the group. glibc has no
// wrapper for a clone3 child on a stack of its own: the entry is a few
// lines of assembly, for x86-64 only.

#include <sys/types.h>

#include "xplat/posix/file_descriptor.h"

namespace xplat {

// Whether this build can clone into a control group at all.
bool CanCloneIntoControlGroup();

// Starts argv[0] with argv and the caller's environment in the group whose
// folder `controlGroup` refers to; the child starts with no blocked signal
// and every action at its default. False, with errno, when it did not exec.
bool CloneIntoControlGroup(char* const* argv, int controlGroup, pid_t& pid, FileDescriptor& pidfd);

}  // namespace xplat
