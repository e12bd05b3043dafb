#pragma once

#include <windows.h>

namespace xplat {

// Owns one kernel handle; CloseHandle on destruction.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : handle(h) {}
  ~Handle() { Close(); }
  Handle(Handle&& other) noexcept : handle(other.Release()) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      Close();
      handle = other.Release();
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  HANDLE Get() const { return handle; }
  explicit operator bool() const { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  HANDLE Release() {
    HANDLE h = handle;
    handle = nullptr;
    return h;
  }
  void Close() {
    if (*this) ::CloseHandle(handle);
    handle = nullptr;
  }

 private:
  HANDLE handle = nullptr;
};

}  // namespace xplat
