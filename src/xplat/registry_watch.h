#pragma once
// Whether a registry key may have changed since it was last read: a value
// set or deleted, a subkey made or removed, the key itself removed. Watch
// the key before reading it, so a change made during the read shows at the
// next look. Whatever cannot be watched counts as changed.

#include <memory>
#include <string>

namespace xplat {

class RegistryKeyWatch {
 public:
  RegistryKeyWatch();
  ~RegistryKeyWatch();
  RegistryKeyWatch(const RegistryKeyWatch&) = delete;
  RegistryKeyWatch& operator=(const RegistryKeyWatch&) = delete;

  // Starts watching HKEY_LOCAL_MACHINE\path afresh; false when the key
  // cannot be watched (it is missing, for instance).
  bool Watch(const std::wstring& path);
  // True only when this path is watched and nothing in it has changed since.
  bool Unchanged(const std::wstring& path);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl;
};

}  // namespace xplat
