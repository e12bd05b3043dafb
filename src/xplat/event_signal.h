#pragma once
// The module's wait signal: an automatic-reset event. The broker sets it
// from its own threads; the module thread waits on it.

#include <cstdint>
#include <memory>
#include <string>

#include "xplat/system_error.h"

namespace xplat {

class EventSignal {
 public:
  virtual ~EventSignal() = default;
  virtual void Reset() = 0;
  virtual bool Set() = 0;
  // True exactly when the wait ended because the signal was set; one Set
  // releases one Wait. A signal that could not be made still waits, the
  // whole time: a loop on it never spins.
  virtual bool Wait(std::uint32_t ms) = 0;

  const std::wstring& Name() const { return name; }
  // The system's error when the signal could not be made, else 0.
  ErrorCode CreationError() const { return creationError; }

 protected:
  EventSignal(std::wstring signalName, ErrorCode error) : name(std::move(signalName)), creationError(error) {}

 private:
  std::wstring name;
  ErrorCode creationError;
};

// The platform's signal: not set, automatic reset; the name is only stored.
std::unique_ptr<EventSignal> CreateEventSignal(const std::wstring& name);

// For tests: signals made from now on cannot be made, with this error; 0
// makes them again.
void SetSignalCreationErrorForTesting(ErrorCode error);

}  // namespace xplat
