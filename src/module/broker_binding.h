#pragma once
// Loads the event broker library "Hubrelle" and posts records to its queue.

#include <cstdint>
#include <string>

#include "module/event_data.h"
#include "module/event_queue.h"
#include "xplat/dynamic_library.h"

class BrokerBinding {
 public:
  BrokerBinding();
  ~BrokerBinding() = default;  // frees the library; the queue is the broker's
  BrokerBinding(const BrokerBinding&) = delete;
  BrokerBinding& operator=(const BrokerBinding&) = delete;

  EventQueue* Queue() const { return queue; }
  // Gives the record an owned copy of its data, then posts it.
  bool Post(EventData& record);
  // Builds a record from a full name ("ZAV.Service.DeleteHost") and posts it once.
  bool Send(const std::wstring& fullName, std::uint32_t length, const void* bytes, EventCode code,
            const std::wstring& sender);

  // Category and name of a full name, split at its last '.'; a name without
  // '.' is both.
  static void SplitFullName(const std::wstring& fullName, std::wstring& category, std::wstring& name);

 private:
  xplat::DynamicLibrary library;
  EventQueue* queue = nullptr;
};
