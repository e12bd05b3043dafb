#pragma once
// What a process handle holds on Windows, for the platform layer's own parts.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "xplat/process.h"
#include "xplat/process_serial.h"
#include "xplat/win/handle.h"

namespace xplat {

struct ProcessHandle::Impl {
  explicit Impl(HANDLE handle) : process(handle) {}

  Handle process;
  const std::uint64_t serial = NextProcessSerial();
  std::atomic<bool> terminated{false};  // by Terminate: its code is the one asked for
};

struct ProcessAccess {
  static ProcessHandle Wrap(HANDLE process) {
    ProcessHandle wrapped;
    wrapped.impl = std::make_unique<ProcessHandle::Impl>(process);
    return wrapped;
  }
  static HANDLE Of(const ProcessHandle& process) { return process.impl->process.Get(); }
  static std::uint64_t Serial(const ProcessHandle& process) { return process.impl->serial; }
};

}  // namespace xplat
