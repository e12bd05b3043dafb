#pragma once
// What each back-end gives the shared wait of a set's trees: the kernel
// objects it waits on, held across its rounds, and the set's refresh. The
// loop over them, with its one time budget checked at each round, is shared.

#include <cstdint>
#include <memory>
#include <vector>

#include "xplat/process_tree.h"

namespace xplat {

// latestRuns: the groups of each tree's latest run too, not only its earlier runs'.
void RefreshTrees(ProcessTreeSet::Impl& set, const std::vector<const ProcessTree*>& trees, bool latestRuns = true);
TreeState WaitUntilTreesEmpty(ProcessTreeSet::Impl& set, const std::vector<const ProcessTree*>& trees,
                              std::uint32_t ms);

class TreesWait {
 public:
  TreesWait(ProcessTreeSet::Impl& set, const std::vector<const ProcessTree*>& trees);
  ~TreesWait();
  TreesWait(const TreesWait&) = delete;
  TreesWait& operator=(const TreesWait&) = delete;

  // Ends again what survives an end asked of a tree, then waits at most ms
  // for the kernel to tell of a change, and refreshes the trees: true once
  // every tree is empty.
  bool Await(std::uint32_t ms);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl;
};

}  // namespace xplat
