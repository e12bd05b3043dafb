#pragma once
// What each back-end gives the trees' shared wait: one kernel wait for any
// of the trees to change. The loop over it, with its one time budget
// checked at each round, is shared.

#include <cstdint>
#include <vector>

#include "xplat/process_tree.h"

namespace xplat {

// Ends again what survives an end asked of a tree, then waits at most ms
// for the kernel to tell of a change, and refreshes the trees: true once
// every tree is empty.
bool AwaitTreesEmpty(const std::vector<const ProcessTree*>& trees, std::uint32_t ms);

}  // namespace xplat
