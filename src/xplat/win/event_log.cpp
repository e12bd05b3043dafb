#include "xplat/event_log.h"

#include <windows.h>

namespace xplat {

EventLogResult ReportErrorEvent(const std::wstring& source, std::uint32_t eventId, const std::wstring& text) {
  HANDLE log = ::RegisterEventSourceW(nullptr, source.c_str());
  if (!log) return EventLogResult::SourceUnavailable;
  const wchar_t* strings[] = {text.c_str()};
  BOOL reported = ::ReportEventW(log, EVENTLOG_ERROR_TYPE, 0, eventId, nullptr, 1, 0, strings, nullptr);
  ::DeregisterEventSource(log);
  return reported ? EventLogResult::Reported : EventLogResult::ReportFailed;
}

void DebugOutput(const std::wstring& text) { ::OutputDebugStringW(text.c_str()); }

}  // namespace xplat
