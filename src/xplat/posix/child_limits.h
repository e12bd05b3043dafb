#pragma once
// The limits a program started here begins with, where they differ from
// this process's own.

#include <sys/resource.h>

namespace xplat {

// The limit of open descriptors this process had before RaiseOpenFileLimit
// raised its own, for its programs to start with: a program written for the
// usual limit (select, a loop over every descriptor) must not inherit the
// raised one. 0 while the limit was never raised here.
rlim_t ChildOpenFileLimit();

}  // namespace xplat
