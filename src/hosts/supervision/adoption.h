#pragma once
// Hosts that an earlier service left running are taken over, with the
// adoption setting on: at a host's first start in this module's life, a
// process that runs the host's copy with the host's name on its command line
// is recorded as the host's process instead of starting a second one.

#include <vector>

#include "hosts/host_record.h"
#include "hosts/supervision/host_runs.h"
#include "logging/logger.h"
#include "xplat/process_list.h"

namespace zav::custody {

class Adoption {
 public:
  Adoption(bool adoptHosts, const HostRuns& hostRuns, CLogger& hostLogger)
      : enabled(adoptHosts), runs(hostRuns), logger(hostLogger) {}

  // One look at the system's processes, for every host that may be taken
  // over now.
  void LookForHosts(const HostContainer& hosts);
  // Takes over the host's process that the last look found: true when it did.
  bool Adopt(HostRecord& record);

 private:
  bool MayAdopt(const HostRecord& record) const;

  bool enabled;
  const HostRuns& runs;
  CLogger& logger;
  std::vector<xplat::RunningProgram> candidates;
};

}  // namespace zav::custody
