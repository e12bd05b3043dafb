#include "xplat/process_tree.h"

#include "xplat/clock.h"
#include "xplat/process_tree_wait.h"

namespace xplat {

// Each round checks the time: what the trees start while it waits never
// holds it past its budget. The kernel wait of a round refreshes the trees
// as it ends: only the first round does it here.
TreeState WaitUntilTreesEmpty(ProcessTreeSet::Impl& set, const std::vector<const ProcessTree*>& trees,
                              std::uint32_t ms) {
  const std::uint64_t start = CurrentClock().NowMs();
  TreesWait wait(set, trees);
  RefreshTrees(set, trees);
  for (;;) {
    TreeState all = TreeState::Empty;
    for (const ProcessTree* tree : trees) {
      const TreeState state = tree->State();
      if (state == TreeState::Populated || all == TreeState::Empty) all = state;
    }
    const std::uint32_t left = TimeLeftMs(start, ms);
    if (all == TreeState::Empty || left == 0) return all;
    CurrentClock().TimedWait(left, [&](std::uint32_t waitMs) { return wait.Await(waitMs); });
  }
}

ProcessTree ProcessTree::Create(const std::wstring& name, bool processGroups) {
  return ProcessTreeSet::Default().Create(name, processGroups);
}

void ProcessTreeSet::Refresh(const std::vector<const ProcessTree*>& trees) const { RefreshTrees(*impl, trees, false); }

TreeState ProcessTreeSet::WaitUntilEmpty(const std::vector<const ProcessTree*>& trees, std::uint32_t ms) const {
  return WaitUntilTreesEmpty(*impl, trees, ms);
}

}  // namespace xplat
