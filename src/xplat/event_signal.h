#pragma once
// The module's wait signal: an automatic-reset event. The broker sets it
// from its own threads; the module thread waits on it.

#include <cstdint>
#include <memory>
#include <string>

namespace xplat {

class EventSignal {
 public:
  virtual ~EventSignal() = default;
  virtual void Reset() = 0;
  virtual bool Set() = 0;
  // True exactly when the wait ended because the signal was set; one Set
  // releases one Wait.
  virtual bool Wait(std::uint32_t ms) = 0;

  const std::wstring& Name() const { return name; }

 protected:
  explicit EventSignal(std::wstring signalName) : name(std::move(signalName)) {}

 private:
  std::wstring name;
};

// The platform's signal: not set, automatic reset; the name is only stored.
std::unique_ptr<EventSignal> CreateEventSignal(const std::wstring& name);

}  // namespace xplat
