#pragma once
// Ending hosts for their removal and for the upgrade: waiting for them and,
// with the stop setting, ending those that do not end; a host that runs on
// is detached and its copy kept. The waits cover a host's own process, its
// processes whose records went and, with the tree setting, its whole tree.
// What cannot be read counts as still running: it never lets a copy go.
// Every start ends in the events before the host's removal.

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "hosts/host_record.h"
#include "hosts/supervision/detached_hosts.h"
#include "hosts/supervision/host_events.h"
#include "hosts/supervision/host_runs.h"
#include "hosts/supervision/host_trees.h"
#include "logging/logger.h"

namespace zav::custody {

class HostEnding {
 public:
  HostEnding(bool stopThatDoNotEnd, HostTrees& hostTrees, DetachedHosts& detachedHosts, HostRuns& hostRuns,
             HostEvents& hostEvents, CLogger& hostLogger)
      : stopHostsThatDoNotEnd(stopThatDoNotEnd),
        trees(hostTrees),
        detached(detachedHosts),
        runs(hostRuns),
        events(hostEvents),
        logger(hostLogger) {}

  // A removal's steps for one host, its record kept: true when its copy
  // must stay, for something of it still runs (now detached).
  bool EndForRemoval(HostRecord& record);
  // The upgrade's steps for every host, those whose records went included;
  // then each record, in order, goes to `done` with whether its copy must
  // stay (`done` may erase it).
  void EndForUpgrade(HostContainer& hosts, const std::function<void(const std::wstring&, bool copyKept)>& done);

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
  // Looks once whether anything of the host still runs; if so `keptLine`
  // says so and its own process is watched on without its record. Unless
  // the module ended the host (and said so), its run is ended in the
  // events: by "copy-kept" when the copy is kept, else by "ended". True
  // when the copy is kept.
  bool DetachAndKeepCopyIfStillRunning(HostRecord& record, LogLevel level, const wchar_t* keptLine, bool endedByModule);
  // The "ended" record of a started host that ended by itself meanwhile;
  // its run counts for no back-off.
  void TellEndOfRemovedRun(const HostRecord& record);
  // StillRuns for a host that may have no record.
  bool Runs(const std::wstring& hostName, const HostRecord* record) const;
  // The tree's wait said it cannot be read: said, and taken as running.
  bool Ended(xplat::TreeState state, const wchar_t* whose) const;
  // Says what of the host runs and ends it; false when nothing ran.
  bool EndHost(const std::wstring& hostName, HostRecord* record, std::vector<const xplat::ProcessHandle*>& processes,
               std::vector<const xplat::ProcessTree*>& ended) const;

  const bool stopHostsThatDoNotEnd;
  HostTrees& trees;
  DetachedHosts& detached;
  HostRuns& runs;
  HostEvents& events;
  CLogger& logger;
};

}  // namespace zav::custody
