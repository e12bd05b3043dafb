#pragma once
// What each back-end gives WaitForAllProcesses: a wait for one group of
// processes, as large as one kernel wait can cover. The loop over the groups,
// with its one time budget, is shared.

#include <cstddef>
#include <cstdint>

#include "xplat/process.h"

namespace xplat {

extern const std::size_t kProcessWaitGroupSize;

// Waits until every process of the group (none empty) has ended, at most ms.
WaitAllResult WaitForProcessGroup(const ProcessHandle* const* group, std::size_t count, std::uint32_t ms);

}  // namespace xplat
