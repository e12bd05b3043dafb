#include "xplat/event_log.h"

#include <syslog.h>

#include <cstdio>
#include <cstdlib>

#include "xplat/text.h"

namespace xplat {

EventLogResult ReportErrorEvent(const std::wstring& source, std::uint32_t eventId, const std::wstring& text) {
  const std::string name = ToUtf8(source);
  const std::string message = ToUtf8(text);
  if (const char* file = std::getenv("CUSTODEX_EVENT_LOG"); file && *file) {
    std::FILE* log = std::fopen(file, "a");
    if (!log) return EventLogResult::SourceUnavailable;
    int written = std::fprintf(log, "%s\terror\t%u\t%s\n", name.c_str(), eventId, message.c_str());
    return std::fclose(log) == 0 && written > 0 ? EventLogResult::Reported : EventLogResult::ReportFailed;
  }
  ::openlog(name.c_str(), LOG_PID, LOG_USER);
  ::syslog(LOG_ERR, "[%u] %s", eventId, message.c_str());
  ::closelog();
  return EventLogResult::Reported;
}

void DebugOutput(const std::wstring& text) { std::fputs(ToUtf8(text).c_str(), stderr); }

}  // namespace xplat
