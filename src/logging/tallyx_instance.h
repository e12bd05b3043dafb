#pragma once
// The logging back-end object of the library "tallyx", reached through its
// export "GetTallyxInstance". The order of the table is the library's
// contract; the back-end belongs to the library and is never deleted here.

#include <cstdint>
#include <string>

#include "logging/log_level.h"

class TallyxInstance {
 public:
  virtual void Write(LogLevel level, const wchar_t* loggerName, const wchar_t* line) = 0;
  virtual void SetLevelOverride(bool enabled) = 0;
  virtual std::uint8_t GetBackEndByte() = 0;
  virtual void SetLogLevel(LogLevel level) = 0;
  virtual bool QueryBackEnd() = 0;
  virtual void SetBackEndValue(std::uint32_t value) = 0;
  virtual std::uintptr_t CallBackEnd() = 0;
  virtual void SetBackEndByte(std::uint8_t value) = 0;
  virtual bool TestBackEnd() = 0;
  virtual std::wstring GetBackEndText() = 0;

 protected:
  ~TallyxInstance() = default;
};

extern "C" {
using GetTallyxInstanceFunction = TallyxInstance* (*)();
}
