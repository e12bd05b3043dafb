#include "xplat/registry_watch.h"

#include <windows.h>

#include "xplat/win/handle.h"

namespace xplat {

namespace {

// Owns an open registry key.
class KeyHandle {
 public:
  KeyHandle() = default;
  ~KeyHandle() { Close(); }
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;

  bool Open(const std::wstring& path) {
    Close();
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_NOTIFY, &key) == ERROR_SUCCESS) return true;
    key = nullptr;
    return false;
  }
  void Close() {
    if (key) ::RegCloseKey(key);
    key = nullptr;
  }
  HKEY Get() const { return key; }

 private:
  HKEY key = nullptr;
};

LONG Notify(HKEY key, DWORD changes, HANDLE event) {
  const LONG status = ::RegNotifyChangeKeyValue(key, FALSE, changes | REG_NOTIFY_THREAD_AGNOSTIC, event, TRUE);
  if (status != ERROR_INVALID_PARAMETER) return status;
  return ::RegNotifyChangeKeyValue(key, FALSE, changes, event, TRUE);
}

std::wstring ParentOf(const std::wstring& path) {
  const std::size_t separator = path.find_last_of(L'\\');
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

}  // namespace

// The system's own notification: one change signals the event. A key that
// is deleted does not always signal its own watchers, so the names of its
// parent's subkeys are watched as well. Registered without tying it to this
// thread where the system allows, so a thread that ends is no change.
struct RegistryKeyWatch::Impl {
  KeyHandle key;
  KeyHandle parent;
  Handle changed;
  std::wstring path;
  bool armed = false;
};

RegistryKeyWatch::RegistryKeyWatch() : impl(std::make_unique<Impl>()) {
  impl->changed = Handle(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
}

RegistryKeyWatch::~RegistryKeyWatch() = default;

bool RegistryKeyWatch::Watch(const std::wstring& path) {
  impl->armed = false;
  impl->path = path;
  impl->key.Close();
  impl->parent.Close();
  if (!impl->changed) return false;
  ::ResetEvent(impl->changed.Get());
  const std::wstring parent = ParentOf(path);
  impl->armed = impl->key.Open(path) && !parent.empty() && impl->parent.Open(parent) &&
                Notify(impl->key.Get(), REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, impl->changed.Get()) ==
                    ERROR_SUCCESS &&
                Notify(impl->parent.Get(), REG_NOTIFY_CHANGE_NAME, impl->changed.Get()) == ERROR_SUCCESS;
  return impl->armed;
}

bool RegistryKeyWatch::Unchanged(const std::wstring& path) {
  return impl->armed && path == impl->path && ::WaitForSingleObject(impl->changed.Get(), 0) == WAIT_TIMEOUT;
}

}  // namespace xplat
