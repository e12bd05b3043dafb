#include "service/host_control.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

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
constexpr wchar_t kHostFilePrefix[] = L"QVH-";

std::string Utf8(const std::wstring& text) { return xplat::ToUtf8(text); }

bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool IsRunning(const std::optional<qvhost::HostStatus>& status) { return status && !status->exitCode; }

void PrintHostStatus(const std::wstring& hostName, const std::optional<qvhost::HostStatus>& status, bool listed) {
  const std::string name = Utf8(hostName) + (listed ? "" : " (not in the policy)");
  if (!status) {
    Say("%s: not started", name.c_str());
  } else if (status->exitCode) {
    Say("%s: ended, process %u, exit code %s", name.c_str(), status->processId,
        std::to_string(*status->exitCode).c_str());
  } else {
    const std::uint64_t now = qvhost::WallClockMs();
    const std::uint64_t upSeconds = now > status->startedMs ? (now - status->startedMs) / 1000 : 0;
    Say("%s: running, process %u, up %s s", name.c_str(), status->processId, std::to_string(upSeconds).c_str());
  }
}

}  // namespace

HostControl::HostControl(std::wstring programFolder) : folder(std::move(programFolder)) {}

void HostControl::PrintStatus(const std::vector<std::wstring>& hosts) const {
  if (hosts.empty()) Say("the current policy lists no hosts");
  for (const std::wstring& host : hosts) {
    PrintHostStatus(host, qvhost::ReadHostStatus(qvhost::StatusFilePath(folder, host)), true);
  }
  for (const std::wstring& host : HostFilesWithSuffix(L".status")) {
    if (std::find(hosts.begin(), hosts.end(), host) != hosts.end()) continue;
    PrintHostStatus(host, qvhost::ReadHostStatus(qvhost::StatusFilePath(folder, host)), false);
  }
}

bool HostControl::Kill(const std::wstring& hostName) const {
  const std::wstring statusFile = qvhost::StatusFilePath(folder, hostName);
  std::optional<qvhost::HostStatus> status = qvhost::ReadHostStatus(statusFile);
  if (!IsRunning(status)) {
    Say("%s is not running", Utf8(hostName).c_str());
    return false;
  }
  if (!xplat::TerminateProcessById(status->processId, kKilledExitCode)) {
    Say("cannot end %s (process %u)", Utf8(hostName).c_str(), status->processId);
    return false;
  }
  Say("ended %s (process %u) from outside", Utf8(hostName).c_str(), status->processId);
  // The host cannot say so itself; a restarted host has written its own file already.
  const std::optional<qvhost::HostStatus> now = qvhost::ReadHostStatus(statusFile);
  if (now && now->processId == status->processId) {
    status->exitCode = kKilledExitCodeSeen;
    qvhost::WriteHostStatus(statusFile, *status);
  }
  return true;
}

bool HostControl::AskToStop(const std::wstring& hostName) const {
  if (!IsRunning(qvhost::ReadHostStatus(qvhost::StatusFilePath(folder, hostName)))) return false;
  return qvhost::CreateEmptyFile(qvhost::StopFilePath(folder, hostName));
}

std::vector<std::wstring> HostControl::RunningHosts() const {
  std::vector<std::wstring> running;
  for (const std::wstring& host : HostFilesWithSuffix(L".status")) {
    if (IsRunning(qvhost::ReadHostStatus(qvhost::StatusFilePath(folder, host)))) running.push_back(host);
  }
  return running;
}

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
  for (const std::wstring& host : HostFilesWithSuffix(L".stop")) xplat::DeleteFile(qvhost::StopFilePath(folder, host));
  for (const std::wstring& host : HostFilesWithSuffix(L".status")) {
    xplat::DeleteFile(qvhost::StatusFilePath(folder, host));
  }
}

// Host names of the files "QVH-<host><suffix>" in the program folder.
std::vector<std::wstring> HostControl::HostFilesWithSuffix(const std::wstring& suffix) const {
  const std::wstring prefix = kHostFilePrefix;
  std::vector<std::wstring> hosts;
  std::error_code error;
  for (const auto& item : std::filesystem::directory_iterator(std::filesystem::path(folder), error)) {
    const std::wstring name = item.path().filename().wstring();
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    if (EndsWith(name, suffix))
      hosts.push_back(name.substr(prefix.size(), name.size() - prefix.size() - suffix.size()));
  }
  std::sort(hosts.begin(), hosts.end());
  return hosts;
}

}  // namespace service
