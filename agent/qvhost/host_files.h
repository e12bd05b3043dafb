#pragma once
// The files through which a host process and the agent meet in the program
// folder: "QVH-<host>.status", which the host writes (its process id and
// start time, and its exit code once it ends normally), and
// "QVH-<host>.stop", which the agent creates to ask the host to stop.

#include <cstdint>
#include <optional>
#include <string>

namespace qvhost {

struct HostStatus {
  std::uint32_t processId = 0;
  std::uint64_t startedMs = 0;  // milliseconds since 1970, UTC
  std::optional<std::int64_t> exitCode;
};

std::wstring StatusFilePath(const std::wstring& folder, const std::wstring& hostName);
std::wstring StopFilePath(const std::wstring& folder, const std::wstring& hostName);

// One "key=value" line each: pid, started and, once ended, exit.
std::string FormatHostStatus(const HostStatus& status);
// Empty when the text lacks a process id; unknown keys are passed over.
std::optional<HostStatus> ParseHostStatus(const std::string& text);

std::optional<HostStatus> ReadHostStatus(const std::wstring& path);
bool WriteHostStatus(const std::wstring& path, const HostStatus& status);
// Creates an empty file (the stop request).
bool CreateEmptyFile(const std::wstring& path);

// Wall-clock time in milliseconds since 1970, as the status files hold it.
std::uint64_t WallClockMs();

}  // namespace qvhost
