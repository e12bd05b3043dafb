// The agent's service, as a stand-in: loads the module library by its file
// name, runs its "Execute" on a thread of its own, and stops it by delivering
// "ZAV.Service.TerminateThread" through the event broker.
//
//   custodex-service [--register] [--module FILE] [--seconds N]
//
// --register first records the service's folder as the agent's install
// folder (value "Path" of SOFTWARE\Corvane\DEDedad), as the installer does.
// Without --seconds it runs until its standard input closes.

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "module/broker_binding.h"
#include "xplat/clock.h"
#include "xplat/dynamic_library.h"
#include "xplat/event_signal.h"
#include "xplat/registry.h"
#include "xplat/text.h"

namespace {

using ExecuteFunction = std::int32_t (*)();
using VersionFunction = std::int32_t (*)();

constexpr wchar_t kServiceName[] = L"Service";

struct Options {
  std::wstring moduleFile = xplat::LibraryFileName(L"Custodex");
  int seconds = -1;
  bool registerPath = false;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--module" && i + 1 < argc) {
      options.moduleFile = xplat::FromUtf8(argv[++i]);
    } else if (arg == "--register") {
      options.registerPath = true;
    } else if (arg == "--seconds" && i + 1 < argc) {
      options.seconds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: custodex-service [--register] [--module FILE] [--seconds N]\n");
      return false;
    }
  }
  return true;
}

bool RegisterInstallFolder() {
  const std::wstring program = xplat::ExecutablePath();
  const std::wstring folder = program.substr(0, program.find_last_of(L"\\/"));
  xplat::ErrorCode error = 0;
  xplat::RegistryKey key = xplat::RegistryKey::Create(L"SOFTWARE\\Corvane\\DEDedad", &error);
  if (key.IsOpen()) error = key.Set(L"Path", xplat::StringValue(folder));
  if (error != xplat::kErrorSuccess) {
    std::printf("service: cannot record the install folder (error %u)\n", error);
    return false;
  }
  std::printf("service: install folder %s\n", xplat::ToUtf8(folder).c_str());
  return true;
}

void WaitForStopRequest(int seconds) {
  if (seconds >= 0) {
    xplat::Sleep(static_cast<std::uint32_t>(seconds) * 1000);
    return;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
  }
}

// The module may not have subscribed yet; keep delivering until it has, or
// until it has ended on its own.
bool StopModule(BrokerBinding& broker, const std::atomic<bool>& ended) {
  constexpr int kAttempts = 100;
  for (int i = 0; i < kAttempts && !ended; ++i) {
    if (broker.Send(L"ZAV.Service.TerminateThread", 0, nullptr, EventCode::Default, kServiceName)) return true;
    if (!broker.Queue()) return false;
    xplat::Sleep(100);
  }
  return ended;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) return 2;
  if (options.registerPath && !RegisterInstallFolder()) return 1;

  const std::string moduleFile = xplat::ToUtf8(options.moduleFile);
  xplat::DynamicLibrary module = xplat::DynamicLibrary::Load(options.moduleFile);
  if (!module.IsLoaded()) {
    std::printf("service: cannot load %s\n", moduleFile.c_str());
    return 1;
  }
  auto execute = module.Find<ExecuteFunction>("Execute");
  auto version = module.Find<VersionFunction>("ReturnAPIInterfaceVersion");
  if (!execute || !version) {
    std::printf("service: %s lacks Execute or ReturnAPIInterfaceVersion\n", moduleFile.c_str());
    return 1;
  }
  std::printf("service: loaded %s, interface version %d\n", moduleFile.c_str(), version());

  BrokerBinding broker;
  std::atomic<std::int32_t> result{0};
  std::atomic<bool> ended{false};
  std::thread moduleThread([&] {
    result = execute();
    ended = true;
  });

  WaitForStopRequest(options.seconds);
  std::printf("service: stopping the module\n");
  std::fflush(stdout);
  if (!StopModule(broker, ended)) {
    std::printf("service: the module cannot be told to stop (no event broker)\n");
    std::fflush(stdout);
    std::_Exit(1);  // the module thread can never be joined
  }
  moduleThread.join();
  std::printf("service: module returned %d\n", result.load());
  return result == 0 ? 0 : 1;
}
