#pragma once
// One host: the agent module it runs (from the module list), its name (from
// the policy) and, once started, its process. The process handles have one
// owner: a record is moved, never copied, and closes them when it goes; the
// host process itself keeps running.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "xplat/process.h"
#include "xplat/system_error.h"

namespace zav::custody {

struct HostRecord {
  HostRecord() = default;
  HostRecord(HostRecord&&) = default;
  HostRecord& operator=(HostRecord&&) = default;
  HostRecord(const HostRecord&) = delete;
  HostRecord& operator=(const HostRecord&) = delete;

  // The names and module fields, without the process.
  HostRecord CopyWithoutProcess() const;

  std::wstring moduleName;
  std::wstring description;
  std::wstring filePath;
  std::wstring fileName;
  std::wstring version;
  std::wstring hash;
  std::wstring hostName;
  std::int32_t started = 0;
  xplat::ProcessHandle processHandle;
  xplat::ThreadHandle threadHandle;
  std::uint32_t processId = 0;
  std::uint32_t threadId = 0;
};

// The record's process as its handle tells it. A host that itself exits
// with the still-running code is told apart by its process's wait state; a
// failed query proves nothing: only the process itself can say it has ended.
struct ExitRead {
  bool queried = false;    // the exit code's query answered
  std::uint32_t code = 0;  // what it answered
  bool ended = false;
  xplat::ErrorCode error = 0;  // the system's error the query left
  std::optional<std::uint32_t> ExitCode() const {
    return queried && ended ? std::optional<std::uint32_t>(code) : std::nullopt;
  }
};
ExitRead ReadExit(const HostRecord& record);
// How the record's process ended, in words; empty when it cannot be read.
std::wstring ExitReason(const HostRecord& record, std::optional<std::uint32_t> exitCode);

// Keyed by hostName, in code-unit order, case-sensitive.
using HostContainer = std::map<std::wstring, HostRecord>;

}  // namespace zav::custody
