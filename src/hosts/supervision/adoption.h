#pragma once
// Hosts that an earlier service left running are taken over, with the
// adoption setting on: at a host's first start in this module's life, a
// process of the module's own user that runs the host's copy (or the shared
// host executable, where the copy could not be made) with "-m" and the
// host's name is recorded as the host's process instead of starting a
// second one. The system's processes are looked at once per host.

#include <set>
#include <string>
#include <vector>

#include "hosts/host_record.h"
#include "logging/logger.h"
#include "xplat/process_list.h"

namespace zav::custody {

// Whether a running program is a process of the host: "-m" and the name,
// which the command line splits at its blanks, and the host's copy or the
// shared host executable as its image.
bool IsProcessOfHost(const xplat::RunningProgram& program, const std::wstring& hostName, const std::wstring& hostImage,
                     const std::wstring& sourceImage);

class Adoption {
 public:
  Adoption(bool adoptHosts, CLogger& hostLogger) : enabled(adoptHosts), logger(hostLogger) {}

  // The processes one policy application may take over, held open from
  // the look that found them until the application ends.
  struct Candidates {
    std::set<std::wstring> hosts;  // those at their first start
    std::wstring programFolder;
    std::vector<xplat::RunningProgram> programs;
  };
  // One look at the system's processes, for the hosts at their first start.
  Candidates LookForHosts(const HostContainer& hosts);
  // Takes over the host's process among the candidates: true when it did.
  bool Adopt(HostRecord& record, Candidates& candidates);

 private:
  bool MayAdopt(const HostRecord& record) const;

  bool enabled;
  CLogger& logger;
  std::set<std::wstring> lookedFor;  // hosts past their first start
};

}  // namespace zav::custody
