#include "xplat/registry.h"

#include "xplat/text.h"

namespace xplat {
namespace {

bool EndsInZeroCharacter(const std::vector<std::uint8_t>& bytes) {
  const std::size_t size = bytes.size();
  return size >= 2 && size % 2 == 0 && bytes[size - 2] == 0 && bytes[size - 1] == 0;
}

}  // namespace

RegistryValue StringValue(const std::wstring& text) {
  std::string bytes = ToUtf16LeBytes(text);
  bytes.append(2, '\0');
  return RegistryValue{kRegSz, std::vector<std::uint8_t>(bytes.begin(), bytes.end())};
}

std::wstring ValueText(const RegistryValue& value) {
  std::vector<std::uint8_t> bytes = value.bytes;
  if (bytes.size() % 2 != 0) bytes.push_back(0);  // the high byte a zero-filled buffer supplies
  std::wstring text = FromUtf16LeBytes(bytes.data(), bytes.size());
  return text.substr(0, text.find(L'\0'));
}

std::optional<std::wstring> ReadRegistryText(const RegistryKey& key, const std::wstring& name,
                                             std::size_t capacityChars, ErrorCode* queried) {
  RegistryValue value;
  const ErrorCode result = key.Query(name, capacityChars * sizeof(char16_t), value);
  if (queried) *queried = result;
  if (result != kErrorSuccess) return std::nullopt;
  if (value.type != kRegSz && value.type != kRegExpandSz) return std::nullopt;
  if (value.bytes.empty()) return std::wstring();
  if (!EndsInZeroCharacter(value.bytes)) return std::nullopt;
  return ValueText(value);
}

bool IsReadFailure(ErrorCode result) {
  return result != kErrorSuccess && result != kErrorFileNotFound && result != kErrorMoreData &&
         result != kErrorInvalidData;
}

RegistryKey::RegistryKey() = default;
RegistryKey::~RegistryKey() = default;
RegistryKey::RegistryKey(RegistryKey&&) noexcept = default;
RegistryKey& RegistryKey::operator=(RegistryKey&&) noexcept = default;

}  // namespace xplat
