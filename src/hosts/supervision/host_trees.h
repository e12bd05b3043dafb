#pragma once
// With the tree setting on, every process a host starts belongs to the host:
// each host runs in a process tree of its own, made at its first start and
// kept across its restarts, and after its record goes until the tree is
// empty. A host whose own process ended while processes of its tree run on
// has those reported as left over; the next run joins the same tree.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "hosts/host_record.h"
#include "logging/logger.h"
#include "xplat/process_tree.h"

namespace zav::custody {

// Process ids as the log and the status show them: "4711 4712".
std::wstring ProcessIdList(const std::vector<std::uint32_t>& processIds);

class HostTrees {
 public:
  HostTrees(bool trackHostTrees, CLogger& hostLogger) : enabled(trackHostTrees), logger(hostLogger) {}

  bool Enabled() const { return enabled; }
  // Starts the host's program in its tree; where none can be made or the
  // program cannot be put in it, as a process of its own (said once a
  // host). False when no process was made.
  bool Start(const std::wstring& hostName, const std::wstring& image, const std::wstring& arguments,
             xplat::StartedProcess& started);
  // The host's own process has ended: what of its tree runs on is left over.
  void NoteHostEnded(const std::wstring& hostName);

  // The host's tree, or null when it has none.
  const xplat::ProcessTree* Find(const std::wstring& hostName) const;
  bool Runs(const std::wstring& hostName) const;
  // The left-over processes of the host still running.
  std::vector<std::uint32_t> LeftOver(const std::wstring& hostName) const;
  // Waits at most ms in all for every tree to be empty.
  bool WaitUntilAllEnded(std::uint32_t ms) const;
  std::vector<std::wstring> Names() const;
  // Drops the empty trees of hosts without a record: their names.
  std::vector<std::wstring> DropEnded(const HostContainer& hosts);

 private:
  struct Tree {
    xplat::ProcessTree tree;
    std::vector<std::uint32_t> leftOver;
  };

  bool enabled;
  CLogger& logger;
  std::map<std::wstring, Tree> trees;
  std::set<std::wstring> untracked;  // hosts that ran outside a tree, said once
};

}  // namespace zav::custody
