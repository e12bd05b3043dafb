#pragma once
// The limits the system sets the calling process.

namespace xplat {

// Raises the process's limit of open descriptors to the most it may have,
// as service managers do for a service: every supervised host holds one.
// Windows sets no such per-process limit on handles; there it does nothing.
// False, with the last error set, when the limit could not be raised.
bool RaiseOpenFileLimit();

}  // namespace xplat
