#pragma once
// What every agent module offers; ZAVModule gives the common implementation.

#include <cstdint>
#include <string>

#include "module/event_data.h"

class ZAVModuleInterface {
 public:
  virtual void Execute() = 0;
  virtual bool WaitForEvents() = 0;
  virtual EventData* PullEvent() = 0;
  virtual bool HasEvents() = 0;
  virtual void ReleaseEvent(EventData* record) = 0;
  virtual void SetWaitTimeout(std::int32_t milliseconds) = 0;
  virtual bool RegisterEvent(std::wstring fullName) = 0;
  virtual bool UnregisterEvent(std::wstring fullName) = 0;
  virtual bool SendEvent(std::wstring fullName, std::uint32_t length, const void* bytes, std::int32_t code) = 0;
  virtual bool PostEventWithRetry(EventData& record, std::uint32_t timeoutMs) = 0;
  virtual ~ZAVModuleInterface() = default;
};
