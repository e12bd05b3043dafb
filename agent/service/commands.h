#pragma once
// The commands the service takes on its standard input, one per line. An
// unknown command or a bad argument gets a one-line error.

#include <string>

#include "module/broker_binding.h"
#include "service/host_control.h"
#include "service/host_event_log.h"
#include "service/host_policy.h"
#include "service/module_status.h"
#include "service/run_state.h"

namespace service {

class Commands {
 public:
  Commands(BrokerBinding& broker, PolicyStore& policy, const HostControl& hosts, ModuleStatus& status,
           const HostEventLog& hostEvents, RunState& state);

  // Runs one line; false for "terminate".
  bool Run(const std::string& line);
  static void PrintHelp();

 private:
  bool Dispatch(const std::string& command, const std::string& argument);
  void ApplyPolicyFile(const std::string& file);
  void DeleteHost(const std::string& hostName);
  void Post(const wchar_t* fullName, const char* shownName);
  void Sleep(const std::string& seconds);
  void PrintStatus();

  BrokerBinding& broker;
  PolicyStore& policy;
  const HostControl& hosts;
  ModuleStatus& status;
  const HostEventLog& hostEvents;
  RunState& state;
};

}  // namespace service
