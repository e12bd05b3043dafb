#include "service/commands.h"

#include <cmath>
#include <exception>

#include "service/console.h"
#include "service/events.h"
#include "service/machine.h"
#include "xplat/file_system.h"
#include "xplat/text.h"

namespace service {
namespace {

constexpr int kPostAttempts = 20;
constexpr std::uint32_t kStatusAnswerMs = 2000;
constexpr double kLongestSleepSeconds = 24 * 60 * 60;

const char* const kHelp[] = {
    "commands, one per line:",
    "  help              this list",
    "  status            every host: the module's own table when it answers status requests,",
    "                    else what the hosts' status files say (started, process, exit code, uptime)",
    "  events            the module's last host events (each is also printed as it comes)",
    "  policy FILE       post ApplyHostPolicy with FILE, which becomes the current policy",
    "  delete HOST       take HOST out of the policy, post DeleteHost for it and ask it to stop",
    "  update            post UpdatePolicy",
    "  modules-done      post InstallingModulesDone",
    "  upgrade           post the module's upgrade event (ZAV.Upgrade.Custodex)",
    "  kill HOST         end HOST's process from outside (the module starts it again)",
    "  sleep SECONDS     wait (for scripts); ends early when the module ends",
    "  echo TEXT         print TEXT (for scripts)",
    "  terminate         post TerminateThread, wait for the module and exit (also at end of input)",
};

std::string Trim(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool NeedsArgument(const std::string& command) {
  return command == "policy" || command == "delete" || command == "kill" || command == "sleep";
}

bool TakesArgument(const std::string& command) { return NeedsArgument(command) || command == "echo"; }

}  // namespace

Commands::Commands(BrokerBinding& brokerBinding, PolicyStore& policyStore, const HostControl& hostControl,
                   ModuleStatus& moduleStatus, const HostEventLog& hostEventLog, RunState& runState)
    : broker(brokerBinding),
      policy(policyStore),
      hosts(hostControl),
      status(moduleStatus),
      hostEvents(hostEventLog),
      state(runState) {}

void Commands::PrintHelp() {
  for (const char* line : kHelp) SayPlain("%s", line);
}

bool Commands::Run(const std::string& line) {
  const std::string text = Trim(line);
  if (text.empty() || text[0] == '#') return true;
  const std::size_t blank = text.find_first_of(" \t");
  const std::string command = text.substr(0, blank);
  const std::string argument = blank == std::string::npos ? std::string() : Trim(text.substr(blank));
  if (NeedsArgument(command) && argument.empty()) {
    Say("%s needs an argument (help lists the commands)", command.c_str());
    return true;
  }
  if (!TakesArgument(command) && !argument.empty()) {
    Say("%s takes no argument (help lists the commands)", command.c_str());
    return true;
  }
  try {
    return Dispatch(command, argument);
  } catch (const std::exception& error) {
    Say("%s failed: %s", command.c_str(), error.what());
  }
  return true;
}

bool Commands::Dispatch(const std::string& command, const std::string& argument) {
  if (command == "terminate") return false;
  if (command == "help") {
    PrintHelp();
  } else if (command == "status") {
    PrintStatus();
  } else if (command == "events") {
    const std::vector<std::string> last = hostEvents.Last();
    if (last.empty()) Say("no host event heard (the module posts them with PublishHostEvents)");
    for (const std::string& line : last) SayPlain("%s", line.c_str());
  } else if (command == "policy") {
    ApplyPolicyFile(argument);
  } else if (command == "delete") {
    DeleteHost(argument);
  } else if (command == "update") {
    Post(L"ZAV.Service.UpdatePolicy", "UpdatePolicy");
  } else if (command == "modules-done") {
    Post(L"ZAV.Service.InstallingModulesDone", "InstallingModulesDone");
  } else if (command == "upgrade") {
    Post(L"ZAV.Upgrade.Custodex", "the upgrade event ZAV.Upgrade.Custodex");
  } else if (command == "kill") {
    hosts.Kill(xplat::FromUtf8(argument));
  } else if (command == "sleep") {
    Sleep(argument);
  } else if (command == "echo") {
    SayPlain("== %s", argument.c_str());
  } else {
    Say("unknown command '%s' (help lists the commands)", command.c_str());
  }
  return true;
}

void Commands::ApplyPolicyFile(const std::string& file) {
  const std::optional<std::string> document = xplat::ReadSharedFile(xplat::FromUtf8(file), kMaxPolicyBytes);
  if (!document) {
    Say("cannot read %s", file.c_str());
    return;
  }
  if (!policy.Replace(*document))
    Say("%s is no host policy the service can read; it goes to the module as it is", file.c_str());
  WriteModuleList(policy.HostsEverListed());
  const bool posted = PostEvent(broker, L"ZAV.Service.ApplyHostPolicy", L"", *document, kPostAttempts);
  Say("%s ApplyHostPolicy from %s", posted ? "posted" : "nobody took", file.c_str());
}

// The agent takes a host it removes out of its policy (the module asks for
// the policy again afterwards) and stops it (the module waits for it to end).
void Commands::DeleteHost(const std::string& hostName) {
  const std::wstring host = xplat::FromUtf8(hostName);
  if (policy.RemoveHost(host)) Say("%s taken out of the current policy", hostName.c_str());
  const bool posted = PostEvent(broker, L"ZAV.Service.DeleteHost", host, std::string(), kPostAttempts);
  Say("%s DeleteHost for %s", posted ? "posted" : "nobody took", hostName.c_str());
  if (posted && hosts.AskToStop(host)) Say("asked %s to stop", hostName.c_str());
}

void Commands::Post(const wchar_t* fullName, const char* shownName) {
  const bool posted = PostEvent(broker, fullName, L"", std::string(), kPostAttempts);
  Say("%s %s", posted ? "posted" : "nobody took", shownName);
}

void Commands::PrintStatus() {
  const std::optional<std::string> answer = status.Ask(broker, kStatusAnswerMs);
  if (answer && PrintModuleStatus(*answer)) return;
  hosts.PrintStatus(policy.Hosts());
}

void Commands::Sleep(const std::string& seconds) {
  double value = -1;
  std::size_t used = 0;
  try {
    value = std::stod(seconds, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != seconds.size() || !std::isfinite(value) || value < 0 || value > kLongestSleepSeconds) {
    Say("sleep takes a number of seconds from 0 to %.0f, not '%s'", kLongestSleepSeconds, seconds.c_str());
    return;
  }
  state.SleepUnlessModuleEnds(static_cast<std::uint32_t>(value * 1000));
}

}  // namespace service
