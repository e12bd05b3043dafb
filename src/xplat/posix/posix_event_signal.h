#pragma once

#include <condition_variable>
#include <mutex>

#include "xplat/event_signal.h"

namespace xplat {

class PosixEventSignal final : public EventSignal {
 public:
  explicit PosixEventSignal(std::wstring name) : EventSignal(std::move(name)) {}
  void Reset() override;
  bool Set() override;
  bool Wait(std::uint32_t ms) override;

 private:
  bool WaitOnce(std::uint32_t ms);

  std::mutex mutex;
  std::condition_variable changed;
  bool signalled = false;
};

}  // namespace xplat
