#pragma once
// Host processes whose records went while they still ran (a removal or an
// upgrade whose wait ran out): the module never loses track of a process it
// started. Each is watched until it ends, then reaped; while it runs, no
// second process of its host is started.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hosts/host_record.h"
#include "logging/logger.h"
#include "xplat/process.h"

namespace zav::custody {

struct DetachedHost {
  std::wstring hostName;
  xplat::ProcessHandle processHandle;
  xplat::ThreadHandle threadHandle;
  std::uint32_t processId = 0;
};

class DetachedHosts {
 public:
  explicit DetachedHosts(CLogger& hostLogger) : logger(hostLogger) {}

  // Takes over the record's process, which its caller found running, as
  // the record goes: one that ended meanwhile is reaped as any other.
  void Detach(HostRecord& record);
  // The id of a detached process of the host that still runs.
  std::optional<std::uint32_t> RunningProcessOf(const std::wstring& hostName) const;
  std::vector<std::uint32_t> RunningProcessesOf(const std::wstring& hostName) const;
  // Ends the host's detached processes that still run: those to wait for.
  std::vector<const xplat::ProcessHandle*> EndProcessesOf(const std::wstring& hostName, std::uint32_t exitCode);
  // Reaps the processes that have ended: the names of their hosts.
  std::vector<std::wstring> ReapEnded();

  const std::vector<DetachedHost>& All() const { return hosts; }

 private:
  CLogger& logger;
  std::vector<DetachedHost> hosts;
};

}  // namespace zav::custody
