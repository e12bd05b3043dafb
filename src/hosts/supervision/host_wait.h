#pragma once
// The loop's wait with wake on host exit or the restart back-off: one wait
// over the module's signal and, with wake on host exit, the hosts'
// processes, no longer than the caller's time (the next delayed start).

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "hosts/host_record.h"
#include "hosts/supervision/detached_hosts.h"
#include "logging/logger.h"
#include "xplat/event_signal.h"
#include "xplat/process_wait_set.h"

namespace zav::custody {

class HostWait {
 public:
  HostWait(xplat::EventSignal& signal, bool wakeOnHostExit, CLogger& hostLogger);

  // True when records are queued; false when a watched host ended or the
  // time ran out (waitMs, asked anew for each wait); nothing when the wait
  // itself failed.
  std::optional<bool> Wait(const HostContainer& hosts, const DetachedHosts& detached,
                           const std::function<std::uint32_t()>& waitMs, const std::function<bool()>& hasEvents);
  // Nothing's end is to wake the loop any more.
  void StopWatching() { waitSet.Watch({}); }
  std::size_t WatchedCount() const { return waitSet.WatchedCount(); }

 private:
  std::vector<const xplat::ProcessHandle*> Watched(const HostContainer& hosts, const DetachedHosts& detached) const;

  xplat::ProcessWaitSet waitSet;
  bool watchHosts;
  CLogger& logger;
};

}  // namespace zav::custody
