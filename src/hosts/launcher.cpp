#include "hosts/custodex.h"
#include "hosts/host_files.h"
#include "xplat/file_system.h"

namespace zav::custody {
namespace {

constexpr std::size_t kCommandLineChars = 1024;  // with its terminator

}  // namespace

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
  // Without a program folder the images would be looked for in the root
  // folder, where anyone who can write chooses what the service runs.
  const ProgramFolder programFolder = AgentConfig::ReadExecutePath();
  if (programFolder.path.empty()) {
    LogNoProgramFolder(programFolder, L"StartProcess", hostName + L" is not started");
    return false;
  }
  const std::wstring sourceImage = SourceImagePath(programFolder.path);
  const std::wstring hostImage = HostImagePath(programFolder.path, hostName);
  // A copy that cannot be made would leave the shared host executable to run.
  if (!xplat::FitsInPath(hostImage)) {
    logger->LogMsg(log_level::kError, L"StartProcess: the path of %ws is too long; the host is not started",
                   hostImage.c_str());
    return false;
  }
  if (!xplat::PathExists(sourceImage)) {
    logger->LogMsg(log_level::kError, L"StartProcess: QVHost.exe not found");
    return false;
  }
  const bool copied = !IsProtectedHostName(hostName) && RefreshHostImage(sourceImage, hostImage);
  const std::wstring image = copied || xplat::PathExists(hostImage) ? hostImage : sourceImage;
  const std::wstring arguments = L"-m " + hostName;
  if (xplat::CommandLineOf(image, arguments).size() >= kCommandLineChars) {
    logger->LogMsg(log_level::kError, L"StartProcess: the command line for %ws is too long", hostName.c_str());
    return false;
  }
  return CreateHostProcess(hostName, image, arguments);
}

bool Custodex::CreateHostProcess(const std::wstring& hostName, const std::wstring& image,
                                 const std::wstring& arguments) {
  const auto record = hosts.find(hostName);
  // The ended process's handles go before a new process takes their place.
  if (record != hosts.end()) {
    record->second.processHandle.Close();
    record->second.threadHandle.Close();
  }
  xplat::StartedProcess process;
  const bool started = trees.Enabled() ? trees.Start(hostName, image, arguments, process)
                                       : xplat::StartProgram(image, arguments, process);
  if (!started) {
    logger->LogLastError(log_level::kError, L"StartProcess: %ws could not be started", image.c_str());
    return false;
  }
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
// cannot be replaced; either failure is only noted. True when the copy is there.
bool Custodex::RefreshHostImage(const std::wstring& sourceImage, const std::wstring& hostImage) {
  if (!xplat::DeleteFile(hostImage)) {
    logger->LogLastError(log_level::kDiagnostic, L"StartProcess: Deleting of %ws failed", hostImage.c_str());
  }
  if (xplat::CopyFile(sourceImage, hostImage)) return true;
  logger->LogLastError(log_level::kDiagnostic, L"StartProcess: Copy of QVHost to %ws failed", hostImage.c_str());
  return false;
}

void Custodex::LogNoProgramFolder(const ProgramFolder& folder, const wchar_t* operation, const std::wstring& omitted) {
  if (folder.readError != 0) {
    logger->LogSystemError(log_level::kError, folder.readError, L"%ws: the program folder cannot be read; %ws",
                           operation, omitted.c_str());
  } else {
    logger->LogMsg(log_level::kError, L"%ws: the program folder is unknown; %ws", operation, omitted.c_str());
  }
}

}  // namespace zav::custody
