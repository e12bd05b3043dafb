#include <cwchar>

#include "hosts/custodex.h"
#include "hosts/host_files.h"
#include "xplat/file_system.h"

namespace zav::custody {
namespace {

constexpr std::size_t kCommandLineChars = 1024;  // with its terminator

std::wstring ProgramFolderFile(const std::wstring& fileName) {
  return AgentConfig::GetExecutePath() + xplat::kPathSeparator + fileName;
}

}  // namespace

bool NamesHostFile(const std::wstring& hostName) {
  if (hostName.find(L"..") != std::wstring::npos) return false;
  for (const wchar_t c : hostName) {
    if (c < 0x20 || c == 0x7F || std::wcschr(L"\\/:<>\"|?*", c) != nullptr) return false;
  }
  return hostName.empty() || (hostName.back() != L'.' && hostName.back() != L' ');
}

std::wstring HostImagePath(const std::wstring& hostName) { return ProgramFolderFile(L"QVH-" + hostName + L".exe"); }

std::wstring SourceImagePath() { return ProgramFolderFile(L"qvhost.exe"); }

bool IsProtectedHostName(const std::wstring& hostName) { return EqualIgnoringCase(hostName, L"qvhost"); }

bool Custodex::StartProcess(const std::wstring& hostName) {
  logger->LogMsg(log_level::kTrace, L"StartProcess: Enter");
  const bool started = LaunchHost(hostName);
  logger->LogMsg(log_level::kTrace, L"StartProcess: Exit");
  return started;
}

bool Custodex::LaunchHost(const std::wstring& hostName) {
  if (!NamesHostFile(hostName)) {
    logger->LogMsg(log_level::kError, L"StartProcess: '%ws' cannot name a host file; the host is not started",
                   hostName.c_str());
    return false;
  }
  const std::wstring sourceImage = SourceImagePath();
  const std::wstring hostImage = HostImagePath(hostName);
  if (!xplat::PathExists(sourceImage)) {
    logger->LogMsg(log_level::kError, L"StartProcess: QVHost.exe not found");
    return false;
  }
  if (!IsProtectedHostName(hostName)) RefreshHostImage(sourceImage, hostImage);
  const std::wstring image = xplat::PathExists(hostImage) ? hostImage : sourceImage;
  const std::wstring commandLine = L"\"" + image + L"\" -m " + hostName;
  if (commandLine.size() >= kCommandLineChars) {
    logger->LogMsg(log_level::kError, L"StartProcess: the command line for %ws is too long", hostName.c_str());
    return false;
  }
  const auto record = hosts.find(hostName);
  if (record != hosts.end()) {
    // The ended process's handles go before a new process takes their place.
    record->second.processHandle.Close();
    record->second.threadHandle.Close();
  }
  xplat::StartedProcess process;
  if (!xplat::StartProcessFromCommandLine(commandLine, process)) return false;
  if (record != hosts.end()) {
    HostRecord& host = record->second;
    host.processId = process.processId;
    host.threadId = process.threadId;
    host.processHandle = std::move(process.process);
    host.threadHandle = std::move(process.thread);
    logger->LogMsg(log_level::kDiagnostic, L"StartProcess: Added %ws process to ProcessContainer", hostName.c_str());
  }
  return true;
}

// A host always starts from the current host executable unless its old copy
// cannot be replaced; either failure is only noted.
void Custodex::RefreshHostImage(const std::wstring& sourceImage, const std::wstring& hostImage) {
  if (!xplat::DeleteFile(hostImage)) {
    logger->LogLastError(log_level::kDiagnostic, L"StartProcess: Deleting of %ws failed", hostImage.c_str());
  }
  if (!xplat::CopyFile(sourceImage, hostImage)) {
    logger->LogLastError(log_level::kDiagnostic, L"StartProcess: Copy of QVHost to %ws failed", hostImage.c_str());
  }
}

}  // namespace zav::custody
