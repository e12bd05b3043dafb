#pragma once
// The files through which a host process and the agent meet in the program
// folder, one pair per process: "QVH-<host>.<pid>.status", which the host
// writes (its process id and start time, and its exit code once it ends
// normally), and "QVH-<host>.<pid>.stop", which the agent creates to ask
// that process to stop. Per process, so that a request meant for one
// process is never taken by another of the same host, or by a host whose
// name differs only in letter case (one file name on Windows). A name too
// long for a file name (255 units, or a path of 259 on Windows) is cut there
// and a hash of the whole name set beside it, "QVH-<cut>~<hash>.<pid>.status"; the status file holds the
// whole name.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qvhost {

struct HostStatus {
  std::wstring hostName;  // empty in files of earlier hosts, which named it only in the file name
  std::uint32_t processId = 0;
  std::uint64_t startedMs = 0;  // milliseconds since 1970, UTC
  std::optional<std::int64_t> exitCode;
};

std::wstring StatusFilePath(const std::wstring& folder, const std::wstring& hostName, std::uint32_t processId);
std::wstring StopFilePath(const std::wstring& folder, const std::wstring& hostName, std::uint32_t processId);

// One status or stop file found in the folder.
struct HostFile {
  std::wstring hostName;  // as the file name gives it: cut, for a long name
  std::uint32_t processId = 0;
  std::wstring path;
};
// The files "QVH-<host>.<pid><suffix>" of the folder, for every host or,
// when hostName is given, for that host exactly (letter case included; a
// cut name's hash stands for the whole name).
std::vector<HostFile> ListHostFiles(const std::wstring& folder, const std::wstring& suffix,
                                    const std::optional<std::wstring>& hostName = std::nullopt);
inline constexpr wchar_t kStatusSuffix[] = L".status";
inline constexpr wchar_t kStopSuffix[] = L".stop";

// One "key=value" line each: host (UTF-8), pid, started and, once ended, exit.
std::string FormatHostStatus(const HostStatus& status);
// Empty when the text lacks a process id; unknown keys are passed over.
std::optional<HostStatus> ParseHostStatus(const std::string& text);

std::optional<HostStatus> ReadHostStatus(const std::wstring& path);
bool WriteHostStatus(const std::wstring& path, const HostStatus& status);
// Creates an empty file (the stop request).
bool CreateEmptyFile(const std::wstring& path);

// True while the status names a process that has not ended.
bool IsRunning(const HostStatus& status);

// Wall-clock time in milliseconds since 1970, as the status files hold it.
std::uint64_t WallClockMs();

}  // namespace qvhost
