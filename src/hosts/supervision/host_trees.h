#pragma once
// With the tree setting on, every process a host starts belongs to the host:
// each host runs in a process tree of its own, made at its first start and
// kept across its restarts, and after its record goes until the tree is
// empty. A host whose own process ended while processes of its tree run on
// has those reported as left over; the next run joins the same tree. Trees
// that an ended service of this install left are held too: they become
// those of the hosts of the policy, and the rest are waited for and ended
// as every tree is until they are empty.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "hosts/host_record.h"
#include "logging/logger.h"
#include "xplat/process_tree.h"

namespace zav::custody {

// Process ids as the log and the status show them: "4711 4712".
std::wstring ProcessIdList(const std::vector<std::uint32_t>& processIds);

// What the status shows of a host's tree.
struct TreeFigures {
  std::optional<std::vector<std::uint32_t>> processes;  // none when they cannot be listed
  std::vector<std::uint32_t> leftOver;
  xplat::ProcessTreeUsage usage;
};

class HostTrees {
 public:
  // With the setting on, takes over the trees that ended services of the
  // install (named by its program folder) left.
  HostTrees(bool trackHostTrees, const std::wstring& install, CLogger& hostLogger);

  bool Enabled() const { return enabled; }
  // A host of the policy: a tree left for it by an ended service is its own.
  void Claim(const std::wstring& hostName);
  // Starts the host's program in its tree; where none can be made or the
  // program cannot be put in it, as a process of its own (said once a
  // host). False when no process was made, also when the start in the
  // tree did not finish in time: it was ended (said once until a start
  // succeeds), and the host is tried again at its next start.
  bool Start(const std::wstring& hostName, const std::wstring& image, const std::wstring& arguments,
             xplat::StartedProcess& started);
  // The host's own process has ended: what of its tree runs on is left
  // over. Where each run has groups of its own (Linux), TellLeftOvers lists
  // and says it after the host's restart, which it does not hold back, and
  // nothing is returned; a job, which the next run joins, is listed now.
  std::optional<std::vector<std::uint32_t>> NoteHostEnded(const std::wstring& hostName);
  // What the hosts NoteHostEnded did not list left running, each said as
  // it says it, with one look for them all: by host.
  std::vector<std::pair<std::wstring, std::vector<std::uint32_t>>> TellLeftOvers();

  // The host's tree, or null when it has none.
  xplat::ProcessTree* Find(const std::wstring& hostName);
  const xplat::ProcessTree* Find(const std::wstring& hostName) const;
  // Empty for a host without a tree; asked after a refresh.
  xplat::TreeState State(const std::wstring& hostName) const;
  // The trees an ended service left that no host of the policy claimed.
  std::size_t UnclaimedTrees() const;
  // While it lives, one look at the system's processes serves every tree.
  xplat::ProcessTreeSet::Round OneLook() const;
  std::optional<TreeFigures> Figures(const std::wstring& hostName) const;
  std::vector<const xplat::ProcessTree*> All() const;
  // Waits at most ms in all for every tree given to be empty.
  xplat::TreeState WaitUntilEmpty(const std::vector<const xplat::ProcessTree*>& waited, std::uint32_t ms) const;
  std::vector<std::wstring> Names() const;
  // Drops the empty trees of hosts without a record, and what was said of
  // them: their names.
  std::vector<std::wstring> DropEnded(const HostContainer& hosts);
  // Once a pass: what the system keeps for waits nobody made goes, and
  // every 30 s what the trees no longer hold (process groups whose hosts
  // ended, say).
  void Tend();

 private:
  struct Tree {
    xplat::ProcessTree tree;
    std::vector<std::uint32_t> leftOver;
    bool claimed = true;  // false for a tree an ended service left, until its host is named
  };

  std::vector<std::uint32_t> TellLeftOver(const std::wstring& hostName, Tree& entry,
                                          const std::optional<std::vector<std::uint32_t>>& running);
  // Says once why trees are process groups, where they are.
  void SayWhyProcessGroups(const std::wstring& hostName, const xplat::ProcessTree& tree);

  void TakeOverLeftTrees();

  bool enabled;
  CLogger& logger;
  std::unique_ptr<xplat::ProcessTreeSet> set;  // with the setting on
  std::map<std::wstring, Tree> trees;
  // Hosts whose leftovers wait to be listed, with their tree's runs then.
  std::vector<std::pair<std::wstring, std::uint64_t>> untold;
  std::set<std::wstring> untracked;  // hosts that ran outside a tree, said once
  std::set<std::wstring> abandoned;  // hosts whose start in their tree was abandoned, said once
  std::set<std::wstring> reasonsSaid;
  std::uint64_t lastRefreshMs = 0;
};

}  // namespace zav::custody
