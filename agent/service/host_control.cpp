#include "service/host_control.h"

#include <algorithm>

#include "qvhost/host_files.h"
#include "service/console.h"
#include "xplat/clock.h"
#include "xplat/file_system.h"
#include "xplat/process.h"
#include "xplat/text.h"

namespace service {
namespace {

constexpr std::uint32_t kKilledExitCode = 1;
#if defined(_WIN32)
constexpr std::int64_t kKilledExitCodeSeen = kKilledExitCode;
#else
constexpr std::int64_t kKilledExitCodeSeen = 128 + 9;  // SIGKILL, as the host's parent sees it
#endif
constexpr std::uint32_t kStopPollMs = 100;

std::string Utf8(const std::wstring& text) { return xplat::ToUtf8(text); }

// One process of a host, as its status file tells.
struct HostRun {
  qvhost::HostFile file;
  qvhost::HostStatus status;
};

std::vector<HostRun> RunsOf(const std::wstring& folder, const std::optional<std::wstring>& hostName) {
  std::vector<HostRun> runs;
  for (qvhost::HostFile& file : qvhost::ListHostFiles(folder, qvhost::kStatusSuffix, hostName)) {
    std::optional<qvhost::HostStatus> status = qvhost::ReadHostStatus(file.path);
    if (!status) continue;
    // A long name's file name holds only its cut: the file holds the whole.
    if (!status->hostName.empty()) file.hostName = status->hostName;
    if (hostName && file.hostName != *hostName) continue;
    runs.push_back(HostRun{std::move(file), *status});
  }
  return runs;
}

std::vector<HostRun> RunningRuns(const std::wstring& folder, const std::optional<std::wstring>& hostName) {
  std::vector<HostRun> runs = RunsOf(folder, hostName);
  runs.erase(
      std::remove_if(runs.begin(), runs.end(), [](const HostRun& run) { return !qvhost::IsRunning(run.status); }),
      runs.end());
  return runs;
}

// The latest run of a host: the running one, else the one started last.
std::optional<HostRun> LatestRun(const std::wstring& folder, const std::wstring& hostName) {
  std::vector<HostRun> runs = RunsOf(folder, hostName);
  if (runs.empty()) return std::nullopt;
  return *std::max_element(runs.begin(), runs.end(), [](const HostRun& a, const HostRun& b) {
    return std::make_pair(qvhost::IsRunning(a.status), a.status.startedMs) <
           std::make_pair(qvhost::IsRunning(b.status), b.status.startedMs);
  });
}

void PrintHostStatus(const std::wstring& hostName, const std::optional<HostRun>& run, bool listed) {
  const std::string name = Utf8(hostName) + (listed ? "" : " (not in the policy)");
  if (!run) {
    Say("%s: not started", name.c_str());
  } else if (!qvhost::IsRunning(run->status)) {
    const std::string code = run->status.exitCode ? std::to_string(*run->status.exitCode) : std::string("unknown");
    Say("%s: ended, process %u, exit code %s", name.c_str(), run->status.processId, code.c_str());
  } else {
    const std::uint64_t now = qvhost::WallClockMs();
    const std::uint64_t upSeconds = now > run->status.startedMs ? (now - run->status.startedMs) / 1000 : 0;
    Say("%s: running, process %u, up %s s", name.c_str(), run->status.processId, std::to_string(upSeconds).c_str());
  }
}

std::vector<std::wstring> NamesOf(const std::vector<HostRun>& runs) {
  std::vector<std::wstring> names;
  for (const HostRun& run : runs) names.push_back(run.file.hostName);
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

}  // namespace

HostControl::HostControl(std::wstring programFolder) : folder(std::move(programFolder)) {}

void HostControl::PrintStatus(const std::vector<std::wstring>& hosts) const {
  if (hosts.empty()) Say("the current policy lists no hosts");
  for (const std::wstring& host : hosts) PrintHostStatus(host, LatestRun(folder, host), true);
  for (const std::wstring& host : NamesOf(RunsOf(folder, std::nullopt))) {
    if (std::find(hosts.begin(), hosts.end(), host) != hosts.end()) continue;
    PrintHostStatus(host, LatestRun(folder, host), false);
  }
}

bool HostControl::Kill(const std::wstring& hostName) const {
  const std::vector<HostRun> running = RunningRuns(folder, hostName);
  if (running.empty()) Say("%s is not running", Utf8(hostName).c_str());
  bool killed = !running.empty();
  for (HostRun run : running) {
    if (!xplat::TerminateProcessById(run.status.processId, kKilledExitCode)) {
      Say("cannot end %s (process %u)", Utf8(hostName).c_str(), run.status.processId);
      killed = false;
      continue;
    }
    Say("ended %s (process %u) from outside", Utf8(hostName).c_str(), run.status.processId);
    // The host cannot say so itself.
    run.status.exitCode = kKilledExitCodeSeen;
    qvhost::WriteHostStatus(run.file.path, run.status);
  }
  return killed;
}

bool HostControl::AskToStop(const std::wstring& hostName) const {
  bool asked = false;
  for (const HostRun& run : RunningRuns(folder, hostName)) {
    asked = qvhost::CreateEmptyFile(qvhost::StopFilePath(folder, hostName, run.status.processId)) || asked;
  }
  return asked;
}

std::vector<std::wstring> HostControl::RunningHosts() const { return NamesOf(RunningRuns(folder, std::nullopt)); }

void HostControl::StopAll(std::uint32_t ms, std::uint32_t settleMs) const {
  std::vector<std::wstring> running = RunningHosts();
  // A host that is still starting shows up only later: it is asked then.
  std::vector<std::wstring> asked;
  for (std::uint32_t waited = 0; !running.empty() || waited < settleMs; waited += kStopPollMs) {
    for (const std::wstring& host : running) {
      if (std::find(asked.begin(), asked.end(), host) != asked.end() || !AskToStop(host)) continue;
      Say("asked %s to stop", Utf8(host).c_str());
      asked.push_back(host);
    }
    if (waited >= ms) break;
    xplat::Sleep(kStopPollMs);
    running = RunningHosts();
  }
  for (const std::wstring& host : running) {
    Say("%s did not stop in time", Utf8(host).c_str());
    Kill(host);
  }
}

void HostControl::RemoveFiles() const {
  for (const wchar_t* suffix : {qvhost::kStopSuffix, qvhost::kStatusSuffix}) {
    for (const qvhost::HostFile& file : qvhost::ListHostFiles(folder, suffix)) xplat::DeleteFile(file.path);
  }
}

}  // namespace service
