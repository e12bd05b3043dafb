#pragma once
// The system's event log, and the debugger's output channel. On Linux the
// event log is syslog under the same source name, or, when the variable
// CUSTODEX_EVENT_LOG names a file, one line per event appended to it.

#include <cstdint>
#include <string>

namespace xplat {

enum class EventLogResult { Reported, SourceUnavailable, ReportFailed };

EventLogResult ReportErrorEvent(const std::wstring& source, std::uint32_t eventId, const std::wstring& text);

// OutputDebugString on Windows, standard error on Linux.
void DebugOutput(const std::wstring& text);

}  // namespace xplat
