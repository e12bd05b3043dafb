#include "logging/logger.h"

#include <cstdio>
#include <cstring>

#include "config/agent_keys.h"
#include "logging/line_format.h"
#include "xplat/ansi.h"
#include "xplat/event_log.h"
#include "xplat/registry.h"
#include "xplat/system_error.h"

namespace {

constexpr std::size_t kSettingChars = 1024;
constexpr std::size_t kMaxNarrowChars = 0x3FFFFFFF;

// A setting read as text whatever its registry type; empty when absent.
std::wstring ReadSetting(const xplat::RegistryKey& key, const wchar_t* valueName) {
  xplat::RegistryValue value;
  if (key.Query(valueName, kSettingChars * sizeof(char16_t), value) != xplat::kErrorSuccess) return {};
  return xplat::ValueText(value);
}

// The narrow text as wide, or nothing when it is missing or unconvertible.
bool ConvertNarrow(const char* text, std::wstring& wide) {
  if (!text) return false;
  const std::size_t length = std::strlen(text);
  return length < kMaxNarrowChars && xplat::AnsiToWide(text, length, wide);
}

}  // namespace

CLogger::CLogger(std::wstring loggerName) : name(std::move(loggerName)) {
  BindBackEnd();
  if (disabled) return;
  if (backEnd) backEnd->SetLevelOverride(false);
  ReadRegistrySettings();
}

CLogger::~CLogger() = default;  // frees the library; the back-end is the library's

void CLogger::BindBackEnd() {
  library = xplat::DynamicLibrary::Load(L"tallyx");
  if (!library.IsLoaded()) {
    std::printf("tallyx.dll not found.  Logging is disabled.\n");
    disabled = true;
    return;
  }
  auto factory = library.Find<GetTallyxInstanceFunction>("GetTallyxInstance");
  if (!factory) {
    ReportLoggerVersionError(L"Wrong version of tallyx.dll is being used.");
    std::printf("tallyx.dll!GetTallyxInstance() not found.  Logging is disabled.\n");
    disabled = true;
    return;
  }
  backEnd = factory();
}

void CLogger::ReadRegistrySettings() {
  xplat::RegistryKey key = xplat::RegistryKey::Open(agent_keys::kAgent, xplat::RegistryAccess::Read);
  if (!key.IsOpen()) return;
  const std::wstring override = ReadSetting(key, L"LogLevelOverride");
  if (!override.empty() && backEnd) {
    backEnd->SetLogLevel(LevelFromKeyword(override));
    backEnd->SetLevelOverride(true);
  }
  filter = ReadSetting(key, L"LogLevelFilter");
}

bool CLogger::IsFiltered(LogLevel, const wchar_t*) {
  if (disabled) return true;
  if (filter.empty()) return false;
  const bool listed = filter.find(name) != std::wstring::npos;
  return filter.find(L'!') != std::wstring::npos ? listed : !listed;
}

// A line never changes the error its caller reads next.
void CLogger::Write(LogLevel level, const wchar_t* line) {
  if (!backEnd) return;
  const xplat::ErrorCode error = xplat::LastError();
  backEnd->Write(level, name.c_str(), line);
  xplat::SetLastError(error);
}

void CLogger::LogMsgA(LogLevel level, const wchar_t* format, const char* text) {
  std::wstring wide;
  LogMsg(level, format, ConvertNarrow(text, wide) ? wide.c_str() : nullptr);
}

void CLogger::WriteFormatted(LogLevel level, const wchar_t* operation, const wchar_t* format, va_list args) {
  LineBuffer line{};
  FormatLine(line, operation, format, args);
  Write(level, line);
}

void CLogger::LogMsg(LogLevel level, const wchar_t* format, ...) {
  if (IsFiltered(level, format)) return;
  va_list args;
  va_start(args, format);
  WriteFormatted(level, L"LogMsg", format, args);
  va_end(args);
}

void CLogger::LogEvent(LogLevel level, const wchar_t* format, ...) {
  if (IsFiltered(level, format)) return;
  va_list args;
  va_start(args, format);
  WriteFormatted(level, L"LogEvent", format, args);
  va_end(args);
}

void CLogger::LogEventA(LogLevel level, const wchar_t* format, const char* text) {
  if (IsFiltered(level, format)) return;
  std::wstring wide;
  Write(level, ConvertNarrow(text, wide) ? wide.c_str() : nullptr);
}

void CLogger::LogLastError(LogLevel level, const wchar_t* format, ...) {
  if (IsFiltered(level, format)) return;
  const xplat::ErrorCode code = xplat::LastError();
  const std::wstring errorLine = ErrorLineFor(code);
  va_list args;
  va_start(args, format);
  WriteFormatted(level, L"LogLastError", format, args);
  va_end(args);
  Write(level, errorLine.c_str());
}

void CLogger::LogSystemError(LogLevel level, xplat::ErrorCode code, const wchar_t* format, ...) {
  if (IsFiltered(level, format)) return;
  LineBuffer line{};
  va_list args;
  va_start(args, format);
  const bool formatted = FormatLine(line, L"LogSystemError", format, args);
  va_end(args);
  if (formatted) AppendSystemError(line, code, xplat::SystemMessage(code));
  Write(level, line);
}

// The supervision pass writes an error line for every host it looks at, with
// the same few codes: their texts are asked of the system once.
std::wstring CLogger::ErrorLineFor(xplat::ErrorCode code) {
  std::lock_guard<std::mutex> lock(errorLinesMutex);
  const auto known = errorLines.find(code);
  if (known != errorLines.end()) return known->second;
  std::wstring line = LastErrorLine(code, xplat::SystemMessage(code));
  if (errorLines.size() < kRememberedErrorLines) errorLines.emplace(code, line);
  return line;
}

void CLogger::SetBackEndValue(std::uint32_t value) {
  if (backEnd) backEnd->SetBackEndValue(value);
}

void CLogger::SetLogLevel(LogLevel level) {
  if (backEnd) backEnd->SetLogLevel(level);
}

void CLogger::SetLevelOverride(bool enabled) {
  if (backEnd) backEnd->SetLevelOverride(enabled);
}

void CLogger::SetBackEndByte(std::uint8_t value) {
  if (backEnd) backEnd->SetBackEndByte(value);
}

std::uint8_t CLogger::GetBackEndByte() { return backEnd ? backEnd->GetBackEndByte() : 0; }

bool CLogger::QueryBackEnd() { return backEnd && backEnd->QueryBackEnd(); }

std::uintptr_t CLogger::CallBackEnd() { return backEnd ? backEnd->CallBackEnd() : 0; }

bool CLogger::TestBackEnd() { return backEnd && backEnd->TestBackEnd(); }

std::wstring CLogger::GetBackEndText() { return backEnd ? backEnd->GetBackEndText() : std::wstring(); }

void ReportLoggerVersionError(const std::wstring& text) {
  xplat::DebugOutput(text);
  xplat::DebugOutput(L"\n");
  switch (xplat::ReportErrorEvent(L"DEDedad", 1, text)) {
    case xplat::EventLogResult::SourceUnavailable:
      std::printf("Could not register the event source.");
      break;
    case xplat::EventLogResult::ReportFailed:
      std::printf("Could not report the event.");
      break;
    case xplat::EventLogResult::Reported:
      break;
  }
}
