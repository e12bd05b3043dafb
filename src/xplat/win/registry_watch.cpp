#include "xplat/registry_watch.h"

#include <windows.h>

#include <deque>
#include <string>
#include <vector>

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

// The keys on the path from HKEY_LOCAL_MACHINE down to the key: "A",
// "A\B", "A\B\C".
std::vector<std::wstring> KeysOnPath(const std::wstring& path) {
  std::vector<std::wstring> keys;
  for (std::size_t separator = path.find(L'\\'); separator != std::wstring::npos;
       separator = path.find(L'\\', separator + 1)) {
    if (separator > 0) keys.push_back(path.substr(0, separator));
  }
  if (!path.empty()) keys.push_back(path);
  return keys;
}

}  // namespace

// The system's own notification: one change signals the event. The key is
// watched for its values and subkeys, and each key above it for the names
// of its subkeys, so a key on the path deleted, renamed or made anew is a
// change of the key too (a key deleted does not always signal its own
// watchers). Registered without tying it to this thread where the system
// allows, so a thread that ends is no change.
struct RegistryKeyWatch::Impl {
  std::deque<KeyHandle> keys;
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
  impl->keys.clear();
  if (!impl->changed) return false;
  ::ResetEvent(impl->changed.Get());
  const std::vector<std::wstring> keys = KeysOnPath(path);
  bool armed = !keys.empty();
  for (std::size_t i = 0; armed && i < keys.size(); ++i) {
    const DWORD changes =
        i + 1 == keys.size() ? REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET : REG_NOTIFY_CHANGE_NAME;
    KeyHandle& key = impl->keys.emplace_back();
    armed = key.Open(keys[i]) && Notify(key.Get(), changes, impl->changed.Get()) == ERROR_SUCCESS;
  }
  impl->armed = armed;
  return armed;
}

bool RegistryKeyWatch::Unchanged(const std::wstring& path) {
  return impl->armed && path == impl->path && ::WaitForSingleObject(impl->changed.Get(), 0) == WAIT_TIMEOUT;
}

}  // namespace xplat
