#include "xplat/process_tree.h"

#include "xplat/clock.h"

namespace xplat {

// What a member starts while the wait runs is found by the next look, which
// comes once every member seen before has ended.
bool ProcessTree::WaitUntilEmpty(std::uint32_t ms) const {
  const std::uint64_t start = CurrentClock().NowMs();
  for (;;) {
    std::vector<ProcessHandle> members;
    for (const std::uint32_t processId : ProcessIds()) {
      if (ProcessHandle member = OpenMember(processId)) members.push_back(std::move(member));
    }
    if (members.empty()) return true;
    std::vector<const ProcessHandle*> waited;
    for (const ProcessHandle& member : members) waited.push_back(&member);
    if (WaitForAllProcesses(waited, TimeLeftMs(start, ms)) != WaitAllResult::AllEnded) return IsEmpty();
  }
}

}  // namespace xplat
