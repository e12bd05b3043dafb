#include "xplat/registry.h"

#include <windows.h>

namespace xplat {

struct RegistryKey::Impl {
  HKEY key = nullptr;
};

RegistryKey RegistryKey::Open(const std::wstring& path, RegistryAccess access, ErrorCode* error) {
  RegistryKey result;
  HKEY key = nullptr;
  REGSAM rights = access == RegistryAccess::Read ? KEY_READ : KEY_ALL_ACCESS;
  LONG status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, rights, &key);
  if (error) *error = static_cast<ErrorCode>(status);
  if (status != ERROR_SUCCESS) ::SetLastError(static_cast<DWORD>(status));
  if (status == ERROR_SUCCESS) result.impl.reset(new Impl{key});
  return result;
}

RegistryKey RegistryKey::Create(const std::wstring& path, ErrorCode* error) {
  RegistryKey result;
  HKEY key = nullptr;
  LONG status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr);
  if (error) *error = static_cast<ErrorCode>(status);
  if (status == ERROR_SUCCESS) result.impl.reset(new Impl{key});
  return result;
}

ErrorCode RegistryKey::DeleteTree(const std::wstring& path) {
  LONG status = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
  if (status != ERROR_SUCCESS) return static_cast<ErrorCode>(status);
  return static_cast<ErrorCode>(::RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str()));
}

ErrorCode RegistryKey::Query(const std::wstring& name, std::size_t capacityBytes, RegistryValue& value) const {
  if (!impl) return kErrorInvalidData;
  DWORD type = 0;
  DWORD size = static_cast<DWORD>(capacityBytes);
  std::vector<std::uint8_t> bytes(capacityBytes + 1);  // never a null buffer, which would only ask the size
  LONG status = ::RegQueryValueExW(impl->key, name.c_str(), nullptr, &type, bytes.data(), &size);
  if (status != ERROR_SUCCESS) {
    ::SetLastError(static_cast<DWORD>(status));
    return static_cast<ErrorCode>(status);
  }
  bytes.resize(size);
  value.type = type;
  value.bytes = std::move(bytes);
  return kErrorSuccess;
}

bool RegistryKey::HasValue(const std::wstring& name) const {
  return impl && ::RegQueryValueExW(impl->key, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

ErrorCode RegistryKey::Set(const std::wstring& name, const RegistryValue& value) {
  if (!impl) return kErrorInvalidData;
  // A value already stored as given is left alone: republishing it would
  // only wake every watcher of the key.
  RegistryValue stored;
  if (Query(name, value.bytes.size(), stored) == kErrorSuccess && stored.type == value.type &&
      stored.bytes == value.bytes) {
    return kErrorSuccess;
  }
  // The system counts a forgotten terminator when a zero character happens
  // to follow a string's data; a non-zero guard keeps the stored bytes exact.
  std::vector<std::uint8_t> data(value.bytes);
  data.insert(data.end(), {0xFF, 0xFF});
  return static_cast<ErrorCode>(
      ::RegSetValueExW(impl->key, name.c_str(), 0, value.type, data.data(), static_cast<DWORD>(value.bytes.size())));
}

ErrorCode RegistryKey::Delete(const std::wstring& name) {
  if (!impl) return kErrorInvalidData;
  return static_cast<ErrorCode>(::RegDeleteValueW(impl->key, name.c_str()));
}

void RegistryKey::CloseImpl::operator()(Impl* impl) const {
  ::RegCloseKey(impl->key);
  delete impl;
}

}  // namespace xplat
