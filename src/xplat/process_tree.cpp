#include "xplat/process_tree.h"

#include "xplat/clock.h"
#include "xplat/process_tree_wait.h"

namespace xplat {

// Each round checks the time: what the trees start while it waits never
// holds it past its budget. The kernel wait of a round refreshes the trees
// as it ends: only the first round does it here.
TreeState WaitUntilAllEmpty(const std::vector<const ProcessTree*>& trees, std::uint32_t ms) {
  const std::uint64_t start = CurrentClock().NowMs();
  for (bool refreshed = false;; refreshed = true) {
    TreeState all = TreeState::Empty;
    const ProcessLook look;
    for (const ProcessTree* tree : trees) {
      if (!refreshed) tree->Refresh(look);
      const TreeState state = tree->State(look);
      if (state == TreeState::Populated || all == TreeState::Empty) all = state;
    }
    const std::uint32_t left = TimeLeftMs(start, ms);
    if (all == TreeState::Empty || left == 0) return all;
    CurrentClock().TimedWait(left, [&](std::uint32_t waitMs) { return AwaitTreesEmpty(trees, waitMs); });
  }
}

}  // namespace xplat
