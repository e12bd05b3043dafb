#include "hosts/custodex.h"

namespace zav::custody {

bool Custodex::CheckThatHostIsStillRunning() {
  logger->LogMsg(log_level::kTrace, L"CheckThatHostIsStillRunning: Enter");
  // A host passed over while its earlier process ran, or one whose delayed
  // start has come, may start now.
  const bool released = ReapDetachedHosts();
  if (released || HostsDueToStart()) ApplyHostPolicy();
  bool noneEnded = true;
  for (auto& [hostName, record] : hosts) {
    if (record.started != 1) continue;
    std::optional<std::uint32_t> exitCode;
    if (IsRunning(record, exitCode)) {
      logger->LogMsg(log_level::kDiagnostic, L"CheckThatHostIsStillRunning: Module %ws already running.",
                     hostName.c_str());
      continue;
    }
    logger->LogLastError(log_level::kDiagnostic, L"CheckThatHostIsStillRunning: Module %ws is not running.",
                         hostName.c_str());
    record.started = 0;
    NoteEnded(record, exitCode);
    ApplyHostPolicy();
    noneEnded = false;
  }
  logger->LogMsg(log_level::kTrace, L"CheckThatHostIsStillRunning: Exit");
  return noneEnded;
}

// A host that itself exits with the still-running code is told apart by
// its process's wait state. A failed query proves nothing: only the process
// itself can say it has ended.
bool Custodex::IsRunning(const HostRecord& record, std::optional<std::uint32_t>& exitCode) {
  std::uint32_t code = 0;
  bool ended = false;
  if (!record.processHandle.GetExitCode(code, ended)) {
    logger->LogLastError(log_level::kError, L"CheckThatHostIsStillRunning: GetExitCodeProcess failed");
    return !HasEnded(record.processHandle);
  }
  logger->LogLastError(log_level::kDiagnostic, L"CheckThatHostIsStillRunning: GetExitCodeProcess for %ws returned %d",
                       record.hostName.c_str(), code);
  if (ended) exitCode = code;
  return !ended;
}

}  // namespace zav::custody
