// The agent's service, as a stand-in: loads the module library by its file
// name, runs its "Execute" on a thread of its own, and stops it by delivering
// "ZAV.Service.TerminateThread" through the event broker.
//
//   custodex-service [--module FILE] [--seconds N]
//
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
#include "xplat/text.h"

namespace {

using ExecuteFunction = std::int32_t (*)();
using VersionFunction = std::int32_t (*)();

constexpr wchar_t kServiceName[] = L"Service";

struct Options {
  std::wstring moduleFile = xplat::LibraryFileName(L"Custodex");
  int seconds = -1;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--module" && i + 1 < argc) {
      options.moduleFile = xplat::FromUtf8(argv[++i]);
    } else if (arg == "--seconds" && i + 1 < argc) {
      options.seconds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: custodex-service [--module FILE] [--seconds N]\n");
      return false;
    }
  }
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

// The module may not have subscribed yet; keep delivering until it has.
bool StopModule(BrokerBinding& broker) {
  constexpr int kAttempts = 100;
  for (int i = 0; i < kAttempts; ++i) {
    if (broker.Send(L"ZAV.Service.TerminateThread", 0, nullptr, EventCode::Default, kServiceName)) return true;
    if (!broker.Queue()) return false;
    xplat::Sleep(100);
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) return 2;

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
  std::thread moduleThread([&] { result = execute(); });

  WaitForStopRequest(options.seconds);
  std::printf("service: stopping the module\n");
  std::fflush(stdout);
  if (!StopModule(broker)) {
    std::printf("service: the module cannot be told to stop (no event broker)\n");
    std::fflush(stdout);
    std::_Exit(1);  // the module thread can never be joined
  }
  moduleThread.join();
  std::printf("service: module returned %d\n", result.load());
  return result == 0 ? 0 : 1;
}
