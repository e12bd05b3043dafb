#pragma once
// Keys and values under HKEY_LOCAL_MACHINE. On Linux the same tree lives in a
// store of files (see posix/registry.cpp) that keeps each value's type and raw
// bytes, so every rule about types, terminators and odd sizes holds there as
// on Windows. Results use the Windows error numbering on both platforms.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "xplat/system_error.h"

namespace xplat {

constexpr ErrorCode kErrorSuccess = 0;
constexpr ErrorCode kErrorFileNotFound = 2;
constexpr ErrorCode kErrorTooManyOpenFiles = 4;
constexpr ErrorCode kErrorAccessDenied = 5;
constexpr ErrorCode kErrorInvalidData = 13;
constexpr ErrorCode kErrorMoreData = 234;

enum RegistryType : std::uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
  kRegQword = 11,
};

enum class RegistryAccess { Read, AllAccess };

struct RegistryValue {
  std::uint32_t type = kRegNone;
  std::vector<std::uint8_t> bytes;
};

// A REG_SZ value holding text and its terminating zero, as writers store it.
RegistryValue StringValue(const std::wstring& text);
// A value's bytes read as UTF-16LE text up to its first zero character; an
// odd last byte is a character of its own whose high byte is zero.
std::wstring ValueText(const RegistryValue& value);

class RegistryKey {
 public:
  struct Impl;

  RegistryKey();
  ~RegistryKey();
  RegistryKey(RegistryKey&&) noexcept;
  RegistryKey& operator=(RegistryKey&&) noexcept;

  // Opens HKEY_LOCAL_MACHINE\path; error receives the failure's code.
  static RegistryKey Open(const std::wstring& path, RegistryAccess access, ErrorCode* error = nullptr);
  // Opens the key, creating it and its parents where missing.
  static RegistryKey Create(const std::wstring& path, ErrorCode* error = nullptr);
  // Removes a key with its values and subkeys.
  static ErrorCode DeleteTree(const std::wstring& path);

  bool IsOpen() const { return impl != nullptr; }
  // Reads a value whose data fits in capacityBytes (kErrorMoreData when not).
  ErrorCode Query(const std::wstring& name, std::size_t capacityBytes, RegistryValue& value) const;
  // True when the key holds a value of that name, whatever its type or size.
  bool HasValue(const std::wstring& name) const;
  ErrorCode Set(const std::wstring& name, const RegistryValue& value);
  ErrorCode Delete(const std::wstring& name);
  void Close() { impl.reset(); }

 private:
  struct CloseImpl {
    void operator()(Impl* impl) const;  // closes the platform's key
  };
  std::unique_ptr<Impl, CloseImpl> impl;
};

}  // namespace xplat

namespace xplat {

// A text value as the agent reads its settings, queried into a buffer of
// capacityChars wide characters: only REG_SZ or REG_EXPAND_SZ (returned as
// stored, variables not expanded); size 0 is the empty text; otherwise the
// size must be even and the data must end in a zero character, and the text
// runs to its first zero. Anything else (missing, too large for the buffer,
// another type, an odd size, no terminator) gives no text; `queried`
// receives the query's result.
std::optional<std::wstring> ReadRegistryText(const RegistryKey& key, const std::wstring& name,
                                             std::size_t capacityChars, ErrorCode* queried = nullptr);

// Whether a result means the registry could not be read (as opposed to a
// key or value that is missing or too large); the system's own error is
// then the thread's last error.
bool IsReadFailure(ErrorCode result);

}  // namespace xplat
