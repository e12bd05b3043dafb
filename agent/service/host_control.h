#pragma once
// The service's side of the host files in the program folder: it reads the
// hosts' status files, asks hosts to stop by creating their stop files, and
// ends a host from outside.

#include <cstdint>
#include <string>
#include <vector>

namespace service {

class HostControl {
 public:
  explicit HostControl(std::wstring programFolder);

  // One line per host of the policy, then per other host that has run:
  // not started, or running / ended with its process.
  void PrintStatus(const std::vector<std::wstring>& hosts) const;
  // Ends the host's running processes from outside and records the exit
  // code for each.
  bool Kill(const std::wstring& hostName) const;
  // Creates a stop file for each running process of the host; false when
  // none runs.
  bool AskToStop(const std::wstring& hostName) const;
  // Hosts with a status file and no exit code yet, of any policy or run.
  std::vector<std::wstring> RunningHosts() const;
  // Asks every running host to stop and waits up to ms for them; those
  // still running then are ended from outside. Hosts that appear within
  // settleMs (started just before) are asked too.
  void StopAll(std::uint32_t ms, std::uint32_t settleMs = 0) const;
  // Removes every status and stop file.
  void RemoveFiles() const;

 private:
  std::wstring folder;
};

}  // namespace service
