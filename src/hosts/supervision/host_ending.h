#pragma once
// Waiting for hosts to end and, with the stop setting, ending those that do
// not: DeleteHost's and the upgrade's waits cover a host's own process, its
// processes whose records went and, with the tree setting, its whole tree.
// What cannot be read counts as still running: it never lets a copy go.

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "hosts/host_record.h"
#include "hosts/supervision/detached_hosts.h"
#include "hosts/supervision/host_events.h"
#include "hosts/supervision/host_trees.h"
#include "logging/logger.h"

namespace zav::custody {

class HostEnding {
 public:
  HostEnding(HostTrees& hostTrees, DetachedHosts& detachedHosts, HostEvents& hostEvents, CLogger& hostLogger)
      : trees(hostTrees), detached(detachedHosts), events(hostEvents), logger(hostLogger) {}

  // Waits at most ms for the host's own process, then for its whole tree.
  bool WaitForHost(const HostRecord& record, std::uint32_t ms) const;
  // Waits at most ms in all for every host process, those whose records
  // went included, and every tree.
  bool WaitForAll(const HostContainer& hosts, std::uint32_t ms) const;
  // Ends what of each host still runs, each named in one line and an
  // "ended-by-module" record, all of them before one shared wait of at most
  // ms; a host whose record went is given with none. The names of those
  // ended.
  std::set<std::wstring> EndHosts(const std::vector<std::pair<std::wstring, HostRecord*>>& hosts,
                                  std::uint32_t ms) const;
  // The same for every host, those removed whose processes or trees still
  // run included.
  std::set<std::wstring> EndEveryHost(HostContainer& hosts, std::uint32_t ms) const;
  // Whether anything of the host still runs: its own process, an earlier
  // one whose record went, or a process of its tree.
  bool StillRuns(const HostRecord& record) const;

 private:
  // StillRuns for a host that may have no record.
  bool Runs(const std::wstring& hostName, const HostRecord* record) const;
  // The tree's wait said it cannot be read: said, and taken as running.
  bool Ended(xplat::TreeState state, const wchar_t* whose) const;
  // Says what of the host runs and ends it; false when nothing ran.
  bool EndHost(const std::wstring& hostName, HostRecord* record, std::vector<const xplat::ProcessHandle*>& processes,
               std::vector<const xplat::ProcessTree*>& ended) const;

  HostTrees& trees;
  DetachedHosts& detached;
  HostEvents& events;
  CLogger& logger;
};

}  // namespace zav::custody
