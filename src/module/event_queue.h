#pragma once
// The event broker's queue object, reached through the broker library's
// export "GetEventQueueInstance". The order of the table is the broker's
// contract: four slots that modules do not call, then the six operations.
// A module's signal is its identity in every call.

#include <string>

#include "module/event_data.h"
#include "xplat/event_signal.h"

class EventQueue {
 public:
  virtual void ReservedSlot1() = 0;
  virtual void ReservedSlot2() = 0;
  virtual void ReservedSlot3() = 0;
  virtual void ReservedSlot4() = 0;
  virtual bool Register(std::wstring fullName, xplat::EventSignal& signal) = 0;
  virtual bool Unregister(std::wstring fullName, xplat::EventSignal& signal) = 0;
  // The broker keeps copies; the caller destroys the record right after.
  virtual bool Post(const EventData& record) = 0;
  // A pulled record stays the broker's and valid until Release.
  virtual EventData* Pull(xplat::EventSignal& signal) = 0;
  virtual bool HasEvents(xplat::EventSignal& signal) = 0;
  virtual void Release(EventData* record) = 0;

 protected:
  ~EventQueue() = default;  // the broker's object; modules never delete it
};

extern "C" {
using GetEventQueueInstanceFunction = EventQueue* (*)();
}
