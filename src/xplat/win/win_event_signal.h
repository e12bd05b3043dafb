#pragma once

#include "xplat/event_signal.h"
#include "xplat/win/handle.h"

namespace xplat {

class WinEventSignal final : public EventSignal {
 public:
  // The event is made before the signal, with its error when it could not be.
  WinEventSignal(std::wstring name, Handle eventHandle, ErrorCode creationError);
  void Reset() override;
  bool Set() override;
  bool Wait(std::uint32_t ms) override;

  HANDLE NativeHandle() const { return event.Get(); }

 private:
  Handle event;  // null when creation failed
};

}  // namespace xplat
