#pragma once
// The loop's wait with wake on host exit, or wherever runs are timed (the
// restart back-off, the status, host events): one wait over the module's
// signal and the hosts' processes, no longer than until the next delayed
// start. With wake on host exit a host's end ends the wait; else it is only
// noted, so that a run is timed to the process's own end, and the wait goes
// on for what is left of its time: the host starts again at the next pass.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "hosts/host_record.h"
#include "hosts/supervision/detached_hosts.h"
#include "hosts/supervision/host_runs.h"
#include "hosts/supervision/settings.h"
#include "logging/logger.h"
#include "xplat/clock.h"
#include "xplat/event_signal.h"
#include "xplat/process_wait_set.h"

namespace zav::custody {

class HostWait {
 public:
  HostWait(xplat::EventSignal& signal, const SupervisionSettings& settings, CLogger& hostLogger);

  // True when records are queued; false when the time ran out, a delayed
  // start fell due or, with wake on host exit, a watched process ended;
  // nothing when the wait itself failed. A signal without records starts a
  // new wait of longestMs.
  std::optional<bool> Wait(HostRuns& runs, std::uint32_t longestMs, const std::function<bool()>& hasEvents);
  // Watches every started host whose end was not seen yet and, with wake
  // on host exit, the processes whose records went: after each pass that
  // looked at every host.
  void WatchAll(const HostContainer& hosts, const DetachedHosts& detached, const HostRuns& runs);
  // A host's process before it is replaced, and its new one once started:
  // a restart changes the wait by its host alone.
  void Unwatch(const HostRecord& record);
  void Watch(const HostRecord& record);
  // With wake on host exit, the hosts whose end ended the last wait, as far
  // as the system tells; the pass may take them first.
  std::vector<std::wstring> TakeEndedHosts() { return std::move(endedHosts); }
  // With wake on host exit, whether a watched host has ended since the
  // last wait: its restart goes before what is left of a flood of records.
  bool HostEnded() const { return wakeOnHostExit && waitSet.AnyEnded(); }
  // With wake on host exit a wake for ended hosts starts them alone; every
  // host is looked at once intervalMs have passed since the last pass that
  // did, as without it.
  bool WalkDue(std::uint32_t intervalMs) const;
  void Walked() { lastWalkMs = xplat::CurrentClock().NowMs(); }
  // Nothing's end is to wake the loop any more, for good.
  void StopWatching();
  std::size_t WatchedCount() const { return waitSet.WatchedCount(); }

 private:
  using Watched = std::pair<const xplat::ProcessHandle*, std::wstring>;
  static bool IsWatchable(const std::wstring& hostName, const HostRecord& record, const HostRuns& runs);
  // The names of the hosts WatchAll watches, kept in step with them.
  void NameWatchedHosts(const HostContainer& hosts, const HostRuns& runs);
  // The watched hosts the wait saw end; all that have ended when it cannot
  // tell which.
  std::vector<Watched> EndedHosts() const;
  // True when some started host's end was seen now; it is watched no more
  // until the pass, or it would end every wait at once.
  bool NoteEnds(HostRuns& runs);

  xplat::ProcessWaitSet waitSet;
  bool wakeOnHostExit;
  CLogger& logger;
  std::map<const xplat::ProcessHandle*, std::wstring> watchedHosts;  // the records' processes watched
  std::vector<std::wstring> endedHosts;
  std::optional<std::uint64_t> lastWalkMs;
  bool stopped = false;
};

}  // namespace zav::custody
