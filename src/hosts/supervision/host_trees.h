#pragma once
// With the tree setting on, every process a host starts belongs to the host:
// each host runs in a process tree of its own, made at its first start and
// kept across its restarts, and after its record goes until the tree is
// empty. A host whose own process ended while processes of its tree run on
// has those reported as left over; the next run joins the same tree. Trees
// that an ended service left become those of the hosts of the policy.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
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
  // With the setting on, takes over the trees that ended services left.
  HostTrees(bool trackHostTrees, CLogger& hostLogger);

  bool Enabled() const { return enabled; }
  // A host of the policy: a tree left for it by an ended service is its own.
  void Claim(const std::wstring& hostName);
  // Starts the host's program in its tree; where none can be made or the
  // program cannot be put in it, as a process of its own (said once a
  // host). False when no process was made.
  bool Start(const std::wstring& hostName, const std::wstring& image, const std::wstring& arguments,
             xplat::StartedProcess& started);
  // The host's own process has ended: what of its tree runs on is left
  // over, and returned.
  std::vector<std::uint32_t> NoteHostEnded(const std::wstring& hostName);

  // The host's tree, or null when it has none.
  xplat::ProcessTree* Find(const std::wstring& hostName);
  const xplat::ProcessTree* Find(const std::wstring& hostName) const;
  // Empty for a host without a tree.
  xplat::TreeState State(const std::wstring& hostName) const;
  std::optional<TreeFigures> Figures(const std::wstring& hostName, const xplat::ProcessLook& look) const;
  std::vector<const xplat::ProcessTree*> All() const;
  std::vector<std::wstring> Names() const;
  // Drops the empty trees of hosts without a record: their names.
  std::vector<std::wstring> DropEnded(const HostContainer& hosts);
  // Once a pass: what the system keeps for waits nobody made goes.
  void Tend() const;

 private:
  struct Tree {
    xplat::ProcessTree tree;
    std::vector<std::uint32_t> leftOver;
  };

  // Says once why trees are process groups, where they are.
  void SayWhyProcessGroups(const std::wstring& hostName, const xplat::ProcessTree& tree);

  bool enabled;
  CLogger& logger;
  std::map<std::wstring, Tree> trees;
  std::map<std::wstring, xplat::ProcessTree> unclaimed;  // left by ended services, for hosts not yet named
  std::set<std::wstring> untracked;                      // hosts that ran outside a tree, said once
  std::set<std::wstring> reasonsSaid;
};

}  // namespace zav::custody
