#include "xplat/registry.h"

#include "xplat/text.h"

namespace xplat {

RegistryValue StringValue(const std::wstring& text) {
  std::string bytes = ToUtf16LeBytes(text);
  bytes.append(2, '\0');
  return RegistryValue{kRegSz, std::vector<std::uint8_t>(bytes.begin(), bytes.end())};
}

std::wstring ValueText(const RegistryValue& value) {
  std::wstring text = FromUtf16LeBytes(value.bytes.data(), value.bytes.size());
  return text.substr(0, text.find(L'\0'));
}

RegistryKey::RegistryKey() = default;
RegistryKey::~RegistryKey() = default;
RegistryKey::RegistryKey(RegistryKey&&) noexcept = default;
RegistryKey& RegistryKey::operator=(RegistryKey&&) noexcept = default;

}  // namespace xplat
