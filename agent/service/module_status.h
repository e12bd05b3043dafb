#pragma once
// The host status the module answers over the broker (when its status
// setting is on): the service asks with "ZAV.Service.QueryHostStatus", the
// listener thread hands the "ZAV.Service.HostStatus" answer over, and the
// "status" command prints it as a table.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "module/broker_binding.h"

namespace service {

class ModuleStatus {
 public:
  // Asks the module and waits up to ms for its answer; empty when nobody
  // takes the request (the setting is off) or no answer comes.
  std::optional<std::string> Ask(BrokerBinding& broker, std::uint32_t ms);
  // From the listener thread.
  void Deliver(std::string document);

 private:
  std::mutex mutex;
  std::condition_variable delivered;
  std::optional<std::string> answer;
};

// One line per host of the module's answer; false when it is no status document.
bool PrintModuleStatus(const std::string& document);

}  // namespace service
