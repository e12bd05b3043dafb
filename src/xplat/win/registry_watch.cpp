#include "xplat/registry_watch.h"

#include <windows.h>

#include "xplat/win/handle.h"

namespace xplat {

// The system's own notification: one change signals the event, and a key
// that is closed or deleted signals it too. Registered without tying it to
// this thread where the system allows, so a thread that ends is no change.
struct RegistryKeyWatch::Impl {
  HKEY key = nullptr;
  Handle changed;
  std::wstring path;

  void CloseKey() {
    if (key) ::RegCloseKey(key);
    key = nullptr;
  }
  ~Impl() { CloseKey(); }
};

namespace {

constexpr DWORD kKeyChanges = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;

LONG Notify(HKEY key, HANDLE event) {
  const LONG status = ::RegNotifyChangeKeyValue(key, FALSE, kKeyChanges | REG_NOTIFY_THREAD_AGNOSTIC, event, TRUE);
  if (status != ERROR_INVALID_PARAMETER) return status;
  return ::RegNotifyChangeKeyValue(key, FALSE, kKeyChanges, event, TRUE);
}

}  // namespace

RegistryKeyWatch::RegistryKeyWatch() : impl(std::make_unique<Impl>()) {
  impl->changed = Handle(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
}

RegistryKeyWatch::~RegistryKeyWatch() = default;

bool RegistryKeyWatch::Watch(const std::wstring& path) {
  impl->CloseKey();
  impl->path = path;
  if (!impl->changed) return false;
  ::ResetEvent(impl->changed.Get());
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_NOTIFY, &impl->key) != ERROR_SUCCESS) {
    impl->key = nullptr;
    ::SetEvent(impl->changed.Get());
    return false;
  }
  if (Notify(impl->key, impl->changed.Get()) != ERROR_SUCCESS) {
    impl->CloseKey();
    ::SetEvent(impl->changed.Get());
    return false;
  }
  return true;
}

bool RegistryKeyWatch::Unchanged(const std::wstring& path) {
  return impl->key && path == impl->path && impl->changed &&
         ::WaitForSingleObject(impl->changed.Get(), 0) == WAIT_TIMEOUT;
}

}  // namespace xplat
