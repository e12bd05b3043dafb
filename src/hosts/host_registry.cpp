#include "hosts/custodex.h"

namespace zav::custody {

HostRecord HostRecord::CopyWithoutProcess() const {
  HostRecord copy;
  copy.moduleName = moduleName;
  copy.description = description;
  copy.filePath = filePath;
  copy.fileName = fileName;
  copy.version = version;
  copy.hash = hash;
  copy.hostName = hostName;
  copy.started = started;
  return copy;
}

ExitRead ReadExit(const HostRecord& record) {
  ExitRead exit;
  exit.queried = record.processHandle.GetExitCode(exit.code, exit.ended);
  exit.error = xplat::LastError();
  if (!exit.queried) exit.ended = record.processHandle.HasEnded();
  return exit;
}

std::wstring ExitReason(const HostRecord& record, std::optional<std::uint32_t> exitCode) {
  xplat::ProcessExit exit;
  return exitCode && record.processHandle.GetExit(exit) ? xplat::DescribeExit(exit) : L"";
}

bool Custodex::Add(HostRecord& record) {
  logger->LogMsg(log_level::kTrace, L"Add: Enter");
  bool added = false;
  if (hosts.find(record.hostName) == hosts.end()) {
    logger->LogMsg(log_level::kDiagnostic, L"Add: insert %ws into HostContainer", record.hostName.c_str());
    record.started = 0;
    hosts.emplace(record.hostName, record.CopyWithoutProcess());
    added = true;
  }
  logger->LogMsg(log_level::kTrace, L"Add: Exit");
  return added;
}

void Custodex::Delete(const std::wstring& hostName) {
  logger->LogMsg(log_level::kTrace, L"Delete: Enter");
  const auto found = hosts.find(hostName);
  if (found != hosts.end()) {
    logger->LogMsg(log_level::kDiagnostic, L"Delete: removed %ws from HostContainer", hostName.c_str());
    if (!found->second.processHandle.HasEnded()) detached.Detach(found->second);
    hosts.erase(found);
    runs.Forget(hostName);
  }
  logger->LogMsg(log_level::kTrace, L"Delete: Exit");
}

}  // namespace zav::custody
