#pragma once
// The module's logger: formats wide lines and hands them, with their level
// and the logger's name, to the back-end of the logging library "tallyx".
// It decides only whether logging is possible and whether its name passes
// the registry's name filter; levels are the back-end's business.

#include <cstdarg>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "logging/log_level.h"
#include "logging/tallyx_instance.h"
#include "xplat/dynamic_library.h"
#include "xplat/system_error.h"

class CLogger {
 public:
  explicit CLogger(std::wstring loggerName);
  virtual ~CLogger();
  CLogger(const CLogger&) = delete;
  CLogger& operator=(const CLogger&) = delete;

  // True when a line must be dropped; the arguments are not consulted.
  virtual bool IsFiltered(LogLevel level, const wchar_t* format);
  // Formats with the narrow text converted to wide as the only argument.
  virtual void LogMsgA(LogLevel level, const wchar_t* format, const char* text);
  virtual void LogMsg(LogLevel level, const wchar_t* format, ...);
  virtual void LogEvent(LogLevel level, const wchar_t* format, ...);
  // Writes the narrow text as it is; the format is not used.
  virtual void LogEventA(LogLevel level, const wchar_t* format, const char* text);
  // The line, then "GetLastError returned: " with the last error's text.
  virtual void LogLastError(LogLevel level, const wchar_t* format, ...);
  // One line: the formatted text, then " (System Error (code): text)".
  virtual void LogSystemError(LogLevel level, xplat::ErrorCode code, const wchar_t* format, ...);
  virtual void SetBackEndValue(std::uint32_t value);
  virtual void SetLogLevel(LogLevel level);
  virtual void SetLevelOverride(bool enabled);
  virtual void SetBackEndByte(std::uint8_t value);
  virtual std::uint8_t GetBackEndByte();
  virtual bool QueryBackEnd();
  virtual std::uintptr_t CallBackEnd();
  virtual bool TestBackEnd();
  virtual std::wstring GetBackEndText();

  bool IsDisabled() const { return disabled; }

 private:
  void BindBackEnd();
  void ReadRegistrySettings();
  void Write(LogLevel level, const wchar_t* line);
  void WriteFormatted(LogLevel level, const wchar_t* operation, const wchar_t* format, va_list args);
  std::wstring ErrorLineFor(xplat::ErrorCode code);

  static constexpr std::size_t kRememberedErrorLines = 64;

  std::wstring name;
  std::wstring filter;
  xplat::DynamicLibrary library;
  TallyxInstance* backEnd = nullptr;
  bool disabled = false;
  std::mutex errorLinesMutex;
  std::map<xplat::ErrorCode, std::wstring> errorLines;
};

// The event-log report of a library without "GetTallyxInstance".
void ReportLoggerVersionError(const std::wstring& text);
