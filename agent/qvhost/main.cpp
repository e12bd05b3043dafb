// The agent's host executable, as a stand-in. The host manager starts a copy
// of it per host, "QVH-<host>.exe" in the program folder, as
//
//   "<folder>\QVH-<host>.exe" -m <host>
//
// It finds the host's module in the agent's module list (ZAVConfig.xml,
// section configuration/zavmodules: the first complete entry whose "host" is
// the host name), loads the module's file from its own folder and runs the
// library's "Execute" on a thread of its own, as the service does. It writes
// "QVH-<host>.<pid>.status" beside itself (process id, start time, and the
// exit code once it ends normally) and stops when the agent creates
// "QVH-<host>.<pid>.stop" there: it then delivers
// "ZAV.Service.TerminateThread" through its own process's event broker and
// exits with the module's result.
//
// For tests and demos: when QVHOST_EXIT_<host> is set to CODE or CODE@MS, the
// host does nothing but exit with CODE at once, or after MS milliseconds.
// QVHOST_CHILDREN_<host>=N[@MS|@never] makes the host start N workers first,
// each its own image run as "--child <host process id> <MS|never>": a worker
// ends MS milliseconds after its host has ended (at once without @), or
// never. QVHOST_IGNORE_STOP_<host>=1 makes the host pass over stop requests.
// QVHOST_CRASH_<host>=N makes the host's first N processes crash at once (as
// an access violation ends a process on Windows, of SIGSEGV on Linux),
// counted in "QVH-<host>.crashes" beside the image; later ones run.
// For benchmarks: CUSTODEX_BENCH_STARTS gets its start stamp (start_stamp.h).

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <thread>
#include <vector>

#include "config/agent_config.h"
#include "module/broker_binding.h"
#include "qvhost/host_files.h"
#include "start_stamp.h"
#include "xplat/clock.h"
#include "xplat/dynamic_library.h"
#include "xplat/environment.h"
#include "xplat/file_system.h"
#include "xplat/process.h"
#include "xplat/process_list.h"
#include "xplat/text.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#endif

namespace {

using ExecuteFunction = std::int32_t (*)();

constexpr std::uint32_t kStopPollMs = 200;
constexpr std::uint32_t kDeliveryRetryMs = 100;
constexpr int kDeliveryAttempts = 100;
constexpr int kUsageExitCode = 2;
constexpr std::int32_t kFailureExitCode = 1;
constexpr std::size_t kMaxModuleListBytes = 16 * 1024 * 1024;

std::string linePrefix = "qvhost: ";

void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs(linePrefix.c_str(), stdout);
  std::vfprintf(stdout, format, args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  va_end(args);
}

std::string Utf8(const std::wstring& text) { return xplat::ToUtf8(text); }

// "-m NAME"; a name with blanks arrives as several arguments and is joined again.
std::optional<std::wstring> HostNameArgument(const std::vector<std::wstring>& arguments) {
  if (arguments.size() < 3 || arguments[1] != L"-m") return std::nullopt;
  std::wstring name = arguments[2];
  for (std::size_t i = 3; i < arguments.size(); ++i) name += L" " + arguments[i];
  return name;
}

struct ExitControl {
  std::uint32_t code = 0;
  std::uint32_t delayMs = 0;
};

bool ParseUnsigned(const std::wstring& text, std::uint32_t& number) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of(L"0123456789") != std::wstring::npos) return false;
  const unsigned long long value = std::stoull(text);
  if (value > 0xFFFFFFFFull) return false;
  number = static_cast<std::uint32_t>(value);
  return true;
}

// "CODE" or "CODE@MS".
std::optional<ExitControl> ParseExitControl(const std::wstring& text) {
  ExitControl control;
  const std::size_t at = text.find(L'@');
  if (!ParseUnsigned(text.substr(0, at), control.code)) return std::nullopt;
  if (at != std::wstring::npos && !ParseUnsigned(text.substr(at + 1), control.delayMs)) return std::nullopt;
  return control;
}

struct ChildControl {
  std::uint32_t count = 0;
  std::wstring linger = L"0";  // milliseconds, or "never"
};

// "N", "N@MS" or "N@never".
std::optional<ChildControl> ParseChildControl(const std::wstring& text) {
  ChildControl control;
  const std::size_t at = text.find(L'@');
  std::uint32_t lingerMs = 0;
  if (!ParseUnsigned(text.substr(0, at), control.count)) return std::nullopt;
  if (at == std::wstring::npos) return control;
  control.linger = text.substr(at + 1);
  if (control.linger != L"never" && !ParseUnsigned(control.linger, lingerMs)) return std::nullopt;
  return control;
}

// The workers' handles are held until the host exits; the workers go on.
std::vector<xplat::StartedProcess> StartChildren(const std::wstring& hostName) {
  std::vector<xplat::StartedProcess> children;
  const std::wstring variable = L"QVHOST_CHILDREN_" + hostName;
  const std::wstring setting = xplat::ReadEnvironment(variable);
  if (setting.empty()) return children;
  const std::optional<ChildControl> control = ParseChildControl(setting);
  if (!control) {
    Say("%s=%s is neither N nor N@MS nor N@never", Utf8(variable).c_str(), Utf8(setting).c_str());
    return children;
  }
  const std::wstring arguments = L"--child " + std::to_wstring(xplat::CurrentProcessId()) + L" " + control->linger;
  for (std::uint32_t i = 0; i < control->count; ++i) {
    xplat::StartedProcess child;
    if (!xplat::StartProgram(xplat::ExecutablePath(), arguments, child)) {
      Say("cannot start worker %u", i + 1);
      continue;
    }
    Say("started worker %u (process %u)", i + 1, child.processId);
    children.push_back(std::move(child));
  }
  return children;
}

// A worker: "--child PARENT MS|never".
int RunChild(const std::vector<std::wstring>& arguments) {
  std::uint32_t parent = 0;
  std::uint32_t lingerMs = 0;
  const bool never = arguments.size() == 4 && arguments[3] == L"never";
  if (arguments.size() != 4 || !ParseUnsigned(arguments[2], parent) ||
      (!never && !ParseUnsigned(arguments[3], lingerMs))) {
    std::printf("usage: qvhost.exe --child PARENT MS|never\n");
    return kUsageExitCode;
  }
  // Opened first, so its id cannot go to another process meanwhile, then
  // checked to run this image: a host that ended before the worker looked
  // may have left its id to another process already.
  const xplat::ProcessHandle host = xplat::OpenProcessForWaiting(parent);
  const std::vector<xplat::RunningProgram> copies = xplat::OwnProcessesRunning({xplat::ExecutablePath()});
  const bool isHost = std::any_of(copies.begin(), copies.end(),
                                  [parent](const xplat::RunningProgram& copy) { return copy.processId == parent; });
  if (host && isHost) host.WaitForExit(xplat::kInfinite);
  for (;;) {
    if (!never) {
      xplat::Sleep(lingerMs);
      return 0;
    }
    xplat::Sleep(60 * 60 * 1000);
  }
}

int ExitAsControlled(const std::wstring& variable, const std::wstring& setting) {
  const std::optional<ExitControl> control = ParseExitControl(setting);
  if (!control) {
    Say("%s=%s is neither CODE nor CODE@MS", Utf8(variable).c_str(), Utf8(setting).c_str());
    return kFailureExitCode;
  }
  Say("exiting with %u after %u ms, as %s asks", control->code, control->delayMs, Utf8(variable).c_str());
  if (control->delayMs > 0) xplat::Sleep(control->delayMs);
  return static_cast<int>(control->code);
}

[[noreturn]] void Crash() {
#if defined(_WIN32)
  // The code an access violation ends a process with, without a debugger's say.
  ::TerminateProcess(::GetCurrentProcess(), EXCEPTION_ACCESS_VIOLATION);
#else
  const rlimit noCore{0, 0};  // a stand-in's crash leaves no core file about
  ::setrlimit(RLIMIT_CORE, &noCore);
  std::signal(SIGSEGV, SIG_DFL);
  std::raise(SIGSEGV);
#endif
  std::abort();
}

// True when this process is one of the first N that are to crash.
bool ShallCrash(const std::wstring& hostName) {
  const std::wstring setting = xplat::ReadEnvironment(L"QVHOST_CRASH_" + hostName);
  if (setting.empty()) return false;
  const std::wstring counter = xplat::FolderOf(xplat::ExecutablePath()) + xplat::kPathSeparator + L"QVH-" + hostName +
                               L".crashes";
  const std::optional<std::string> text = xplat::ReadSharedFile(counter, 32);
  const unsigned crashed = text ? static_cast<unsigned>(std::strtoul(text->c_str(), nullptr, 10)) : 0;
  if (crashed >= std::wcstoul(setting.c_str(), nullptr, 10)) return false;
  std::ofstream(xplat::FileSystemPath(counter), std::ios::binary | std::ios::trunc) << crashed + 1;
  return true;
}

struct ModuleEntry {
  std::wstring moduleName;
  std::wstring fileName;
};

bool IsComplete(const pugi::xml_node& entry) {
  for (const wchar_t* required : {L"name", L"version", L"file", L"hash"}) {
    if (entry.attribute(required).empty()) return false;
  }
  return true;
}

std::wstring FileNameOf(const std::wstring& file) {
  const std::size_t separator = file.find_last_of(L"\\/");
  return separator == std::wstring::npos ? file : file.substr(separator + 1);
}

std::optional<ModuleEntry> FindModuleEntry(const std::wstring& listPath, const std::wstring& hostName) {
  const std::optional<std::string> text = xplat::ReadSharedFile(listPath, kMaxModuleListBytes);
  if (!text) {
    Say("cannot read the module list %s", Utf8(listPath).c_str());
    return std::nullopt;
  }
  pugi::xml_document document;
  const pugi::xml_parse_result parsed = document.load_buffer(text->data(), text->size());
  if (!parsed) {
    Say("the module list %s does not parse: %s", Utf8(listPath).c_str(), parsed.description());
    return std::nullopt;
  }
  const pugi::xml_node modules = document.first_element_by_path(L"configuration/zavmodules");
  for (const pugi::xml_node& entry : modules.children()) {
    if (!IsComplete(entry) || hostName != entry.attribute(L"host").value()) continue;
    return ModuleEntry{entry.attribute(L"name").value(), FileNameOf(entry.attribute(L"file").value())};
  }
  Say("no module for this host in %s", Utf8(listPath).c_str());
  return std::nullopt;
}

// True when the agent asked the host to stop, false when the module ended
// first. A host that ignores stop requests says so once and goes on.
bool WaitForStopRequest(const std::wstring& stopFile, const std::atomic<bool>& ended, bool ignoreStop) {
  bool told = false;
  for (;;) {
    if (ended) return false;
    if (xplat::PathExists(stopFile)) {
      xplat::DeleteFile(stopFile);
      if (!ignoreStop) return true;
      if (!told) Say("stop requested; ignored, as QVHOST_IGNORE_STOP asks");
      told = true;
    }
    xplat::Sleep(kStopPollMs);
  }
}

// The module may not have subscribed yet; keep delivering until it has, or
// until it has ended on its own.
bool DeliverTerminate(const std::atomic<bool>& ended) {
  BrokerBinding broker;
  for (int i = 0; i < kDeliveryAttempts && !ended; ++i) {
    if (broker.Send(L"ZAV.Service.TerminateThread", 0, nullptr, EventCode::Default, L"qvhost")) return true;
    if (!broker.Queue()) return false;
    xplat::Sleep(kDeliveryRetryMs);
  }
  return ended;
}

class HostProcess {
 public:
  explicit HostProcess(std::wstring name)
      : hostName(std::move(name)),
        folder(xplat::FolderOf(xplat::ExecutablePath())),
        statusFile(qvhost::StatusFilePath(folder, hostName, xplat::CurrentProcessId())),
        stopFile(qvhost::StopFilePath(folder, hostName, xplat::CurrentProcessId())) {}

  int Run() {
    RemoveFilesOfEndedRuns();
    status.hostName = hostName;
    status.processId = xplat::CurrentProcessId();
    status.startedMs = qvhost::WallClockMs();
    if (!qvhost::WriteHostStatus(statusFile, status)) Say("cannot write %s", Utf8(statusFile).c_str());
    return Finish(RunModule());
  }

 private:
  // What earlier processes of this host left behind; a request left for a
  // process id that has been given to this one is not for it either.
  void RemoveFilesOfEndedRuns() const {
    xplat::DeleteFile(stopFile);
    for (const qvhost::HostFile& file : qvhost::ListHostFiles(folder, qvhost::kStatusSuffix, hostName)) {
      const std::optional<qvhost::HostStatus> earlier = qvhost::ReadHostStatus(file.path);
      if (file.path == statusFile || !earlier || qvhost::IsRunning(*earlier)) continue;
      xplat::DeleteFile(file.path);
      xplat::DeleteFile(qvhost::StopFilePath(folder, hostName, file.processId));
    }
  }

  int Finish(std::int32_t result) {
    status.exitCode = result;
    qvhost::WriteHostStatus(statusFile, status);
    return static_cast<int>(result);
  }

  std::int32_t RunModule() {
    const std::optional<ModuleEntry> entry = FindModuleEntry(zav::custody::LocateConfigFile(), hostName);
    if (!entry) return kFailureExitCode;
    const std::wstring modulePath = folder + xplat::kPathSeparator + entry->fileName;
    if (!xplat::PathExists(modulePath)) {
      Say("the module file %s is missing", Utf8(modulePath).c_str());
      return kFailureExitCode;
    }
    xplat::DynamicLibrary library = xplat::DynamicLibrary::Load(modulePath);
    auto execute = library.Find<ExecuteFunction>("Execute");
    if (!library.IsLoaded() || !execute) {
      Say("cannot run %s: %s", Utf8(modulePath).c_str(), library.IsLoaded() ? "no Execute" : "not loadable");
      return kFailureExitCode;
    }
    Say("running module %s from %s (process %u)", Utf8(entry->moduleName).c_str(), Utf8(modulePath).c_str(),
        status.processId);
    return RunExecute(execute);
  }

  std::int32_t RunExecute(ExecuteFunction execute) {
    std::atomic<std::int32_t> result{0};
    std::atomic<bool> ended{false};
    std::thread moduleThread([&] {
      result = execute();
      ended = true;
    });
    const bool ignoreStop = xplat::ReadEnvironment(L"QVHOST_IGNORE_STOP_" + hostName) == L"1";
    if (WaitForStopRequest(stopFile, ended, ignoreStop)) {
      Say("stop requested");
      if (!DeliverTerminate(ended)) {
        Say("the module cannot be told to stop (no event broker)");
        Finish(kFailureExitCode);
        std::_Exit(kFailureExitCode);  // the module thread can never be joined
      }
    }
    moduleThread.join();
    Say("module returned %d", result.load());
    return result;
  }

  std::wstring hostName;
  std::wstring folder;
  std::wstring statusFile;
  std::wstring stopFile;
  qvhost::HostStatus status;
};

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::wstring> arguments = xplat::ProgramArguments(argc, argv);
  if (arguments.size() > 1 && arguments[1] == L"--child") return RunChild(arguments);
  custodex_stamp_start(argc > 2 ? argv[2] : nullptr);
  const std::optional<std::wstring> hostName = HostNameArgument(arguments);
  if (!hostName) {
    std::printf("usage: qvhost.exe -m HOST\n");
    return kUsageExitCode;
  }
  linePrefix = "qvhost[" + Utf8(*hostName) + "]: ";
  const std::vector<xplat::StartedProcess> children = StartChildren(*hostName);
  if (ShallCrash(*hostName)) {
    Say("crashing, as QVHOST_CRASH asks");
    Crash();
  }
  const std::wstring exitVariable = L"QVHOST_EXIT_" + *hostName;
  const std::wstring exitSetting = xplat::ReadEnvironment(exitVariable);
  if (!exitSetting.empty()) return ExitAsControlled(exitVariable, exitSetting);
  return HostProcess(*hostName).Run();
}
