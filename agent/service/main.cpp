// The agent's service, as a stand-in. It prepares the machine as the agent's
// installer would (registry values, the module list ZAVConfig.xml), loads the
// event broker and the sample module into its own process, loads the module
// library and runs its "Execute" on a thread of its own. It answers what the
// module sends (policy requests, unload requests, "HostUpgrade",
// "UpdatePolicy") and takes commands on standard input ("help" lists them);
// the end of input stops the module by delivering "ZAV.Service.TerminateThread".
//
//   custodex-service [--root DIR] [--policy FILE] [--module FILE] [--seconds N] [--register]
//
// --root DIR (Linux) makes DIR the machine: CUSTODEX_MACHINE_ROOT=DIR and
// CUSTODEX_REGISTRY_ROOT=DIR/registry for the service and every host.
// --policy FILE is the host policy it answers with (default: Alpha, Beta, Gamma).
// --seconds N stops the module after N seconds instead of reading commands.
// --register is kept for older scripts: the service always records its folder.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "module/broker_binding.h"
#include "service/commands.h"
#include "service/console.h"
#include "service/events.h"
#include "service/host_control.h"
#include "service/host_policy.h"
#include "service/machine.h"
#include "service/run_state.h"
#include "xplat/clock.h"
#include "xplat/dynamic_library.h"
#include "xplat/environment.h"
#include "xplat/file_system.h"
#include "xplat/file_version.h"
#include "xplat/process_limits.h"
#include "xplat/text.h"

namespace {

using ExecuteFunction = std::int32_t (*)();
using VersionFunction = std::int32_t (*)();

constexpr std::uint32_t kHostStopWaitMs = 10000;
constexpr std::uint32_t kHostStartGraceMs = 1500;
constexpr std::uint32_t kDeliveryRetryMs = 100;
constexpr int kDeliveryAttempts = 100;

struct Options {
  std::wstring moduleFile = xplat::LibraryFileName(L"Custodex");
  std::optional<std::wstring> root;
  std::optional<std::wstring> policyFile;
  int seconds = -1;
  bool responsive = false;
};

const char kUsage[] =
    "usage: custodex-service [--root DIR] [--policy FILE] [--module FILE] [--seconds N] [--responsive] [--register]\n";

bool ParseOptions(const std::vector<std::wstring>& arguments, Options& options) {
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::wstring& arg = arguments[i];
    const bool hasValue = i + 1 < arguments.size();
    if (arg == L"--module" && hasValue) {
      options.moduleFile = arguments[++i];
    } else if (arg == L"--root" && hasValue) {
      options.root = arguments[++i];
    } else if (arg == L"--policy" && hasValue) {
      options.policyFile = arguments[++i];
    } else if (arg == L"--seconds" && hasValue) {
      options.seconds = std::atoi(xplat::ToUtf8(arguments[++i]).c_str());
    } else if (arg == L"--responsive") {
      options.responsive = true;
    } else if (arg != L"--register") {
      std::fputs(kUsage, stderr);
      return false;
    }
  }
  return true;
}

std::optional<std::string> InitialPolicy(const Options& options) {
  if (!options.policyFile) return service::DefaultPolicyDocument();
  std::optional<std::string> document = xplat::ReadSharedFile(*options.policyFile, service::kMaxPolicyBytes);
  if (!document) service::Say("cannot read the policy %s", xplat::ToUtf8(*options.policyFile).c_str());
  return document;
}

// The module library and the thread that runs its Execute.
class ModuleRun {
 public:
  bool Load(const std::wstring& file) {
    const std::string name = xplat::ToUtf8(file);
    library = xplat::DynamicLibrary::Load(file);
    execute = library.Find<ExecuteFunction>("Execute");
    auto version = library.Find<VersionFunction>("ReturnAPIInterfaceVersion");
    if (!library.IsLoaded()) {
      service::Say("cannot load %s", name.c_str());
      return false;
    }
    if (!execute || !version) {
      service::Say("%s lacks Execute or ReturnAPIInterfaceVersion", name.c_str());
      return false;
    }
    const std::optional<std::wstring> fileVersion = xplat::FileVersion(library.FilePath());
    service::Say("loaded %s, version %s, interface version %d", name.c_str(),
                 fileVersion ? xplat::ToUtf8(*fileVersion).c_str() : "unknown", version());
    return true;
  }

  void Start(service::RunState& state) {
    thread = std::thread([this, &state] {
      result = execute();
      state.EndModule();
    });
  }

  std::int32_t Join() {
    thread.join();
    return result;
  }

 private:
  xplat::DynamicLibrary library;
  ExecuteFunction execute = nullptr;
  std::thread thread;
  std::atomic<std::int32_t> result{0};
};

// The module may not have subscribed yet; keep delivering until it has, or
// until it has ended on its own.
bool StopModule(BrokerBinding& broker, service::RunState& state) {
  for (int i = 0; i < kDeliveryAttempts && !state.ModuleEnded(); ++i) {
    if (broker.Send(L"ZAV.Service.TerminateThread", 0, nullptr, EventCode::Default, service::kServiceName)) {
      return true;
    }
    if (!broker.Queue()) return false;
    xplat::Sleep(kDeliveryRetryMs);
  }
  return state.ModuleEnded();
}

// Standard input feeds the state from a thread of its own, which may still
// be blocked in a read when the service ends.
void ReadCommandsInBackground(service::RunState& state) {
  std::thread([&state] {
    std::string line;
    while (std::getline(std::cin, line)) state.AddLine(line);
    state.EndInput();
  }).detach();
}

void RunCommands(service::Commands& commands, service::RunState& state) {
  service::Say("ready; commands on standard input (help lists them)");
  ReadCommandsInBackground(state);
  std::string line;
  while (state.NextLine(line)) {
    if (!commands.Run(line)) return;
  }
  if (!state.ModuleEnded()) service::Say("end of input");
}

bool Prepare(const Options& options, const std::wstring& folder, service::PolicyStore& policy) {
  if (options.root && !service::UseMachineRoot(*options.root)) return false;
  if (!service::RegisterAgent(folder)) return false;
  if (!service::SetSupervisionFeatures(options.responsive)) return false;
  service::WriteModuleList(policy.HostsEverListed());
  service::CheckProgramFolder(folder);
  return true;
}

int RunService(int argc, char** argv) {
  Options options;
  if (!ParseOptions(xplat::ProgramArguments(argc, argv), options)) return 2;
  if (!xplat::RaiseOpenFileLimit()) service::Say("the limit of open files stays as it is");
  const std::optional<std::string> document = InitialPolicy(options);
  if (!document) return 2;
  service::PolicyStore policy(*document);
  const std::wstring folder = xplat::FolderOf(xplat::ExecutablePath());
  if (!Prepare(options, folder, policy)) return 1;

  const service::HostControl hosts(folder);
  hosts.StopAll(kHostStopWaitMs);  // hosts an earlier run left behind
  hosts.RemoveFiles();
  BrokerBinding broker;
  if (!broker.Queue()) {
    service::Say("no event broker");
    return 1;
  }
  service::SampleLibrary sample;
  if (sample.Load()) service::Say("loaded %s into the service", xplat::ToUtf8(service::kSampleModuleName).c_str());
  ModuleRun module;
  if (!module.Load(options.moduleFile)) return 1;
  service::ModuleStatus status;
  service::HostEventLog hostEvents;
  service::EventAnswers answers(broker, policy, hosts, sample, status, hostEvents);
  answers.Start();

  service::RunState state;
  module.Start(state);
  // Whatever fails meanwhile, the module is stopped and joined first.
  std::exception_ptr failure;
  try {
    if (options.seconds >= 0) {
      state.SleepUnlessModuleEnds(static_cast<std::uint32_t>(options.seconds) * 1000);
    } else {
      service::Commands commands(broker, policy, hosts, status, hostEvents, state);
      RunCommands(commands, state);
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (!state.ModuleEnded()) {
    service::Say("stopping the module");
    if (!StopModule(broker, state)) {
      service::Say("the module cannot be told to stop (no event broker)");
      std::_Exit(1);  // the module thread can never be joined
    }
  }
  const std::int32_t result = module.Join();
  service::Say("module returned %d", result);
  hosts.StopAll(kHostStopWaitMs, kHostStartGraceMs);  // a host started last may not have said so yet
  hosts.RemoveFiles();
  answers.Stop();
  if (failure) std::rethrow_exception(failure);
  return result == 0 ? 0 : 1;
}

}  // namespace

// The service never ends with an uncaught exception: it says what stopped it.
int main(int argc, char** argv) {
  try {
    return RunService(argc, argv);
  } catch (const std::exception& error) {
    service::Say("stopped by an error: %s", error.what());
  } catch (...) {
    service::Say("stopped by an unknown error");
  }
  return 1;
}
