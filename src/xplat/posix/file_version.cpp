#include "xplat/file_version.h"

#include <cstdlib>
#include <memory>

#include "xplat/text.h"

namespace xplat {
namespace {

std::optional<std::string> RealPath(const std::wstring& path) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(ToUtf8(path).c_str(), nullptr), &std::free);
  if (!real) return std::nullopt;
  return std::string(real.get());
}

bool IsDottedNumber(const std::string& text) {
  if (text.empty() || text.front() == '.' || text.back() == '.') return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    const bool dot = text[i] == '.' && text[i - 1] != '.';
    if (!digit && !dot) return false;
  }
  return true;
}

}  // namespace

std::optional<std::wstring> FileVersion(const std::wstring& path) {
  const std::optional<std::string> real = RealPath(path);
  if (!real) return std::nullopt;
  const std::string name = real->substr(real->rfind('/') + 1);
  const std::size_t suffix = name.find(".so.");
  if (suffix == std::string::npos) return std::nullopt;
  const std::string version = name.substr(suffix + 4);
  if (!IsDottedNumber(version)) return std::nullopt;
  return FromUtf8(version);
}

}  // namespace xplat
