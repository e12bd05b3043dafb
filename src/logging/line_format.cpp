#include "logging/line_format.h"

#include <cstdint>
#include <cwchar>

#include "xplat/format.h"

namespace {

constexpr std::size_t kErrorPartChars = 2047;  // a 2048-character buffer with its terminator

void CopyInto(LineBuffer& line, std::size_t at, const std::wstring& text) {
  const std::size_t room = at < kMaxLineChars ? kMaxLineChars - at : 0;
  const std::size_t count = text.size() < room ? text.size() : room;
  wmemcpy(line + at, text.data(), count);
  line[at + count] = L'\0';
}

}  // namespace

bool FormatLine(LineBuffer& line, const wchar_t* operation, const wchar_t* format, va_list args) {
  bool formatted = false;
  try {
    formatted = format && xplat::FormatWide(line, kMaxLineChars, format, args);
  } catch (...) {
  }
  if (!formatted) CopyInto(line, 0, std::wstring(L"Exception in ") + operation);
  return formatted;
}

std::wstring TrimSystemText(const std::optional<std::wstring>& text) {
  if (!text) return {};
  return text->size() > 2 ? text->substr(0, text->size() - 2) : *text;
}

std::wstring LastErrorLine(xplat::ErrorCode code, const std::optional<std::wstring>& systemText) {
  std::wstring line = L"GetLastError returned: ";
  line += systemText ? TrimSystemText(systemText) : L"error " + std::to_wstring(code);
  if (line.size() > kErrorPartChars) line.resize(kErrorPartChars);
  return line;
}

void AppendSystemError(LineBuffer& line, xplat::ErrorCode code, const std::optional<std::wstring>& systemText) {
  std::wstring part = L" (System Error (" + std::to_wstring(static_cast<std::int32_t>(code)) + L"): " +
                      TrimSystemText(systemText) + L")";
  if (part.size() > kErrorPartChars) part.resize(kErrorPartChars);
  CopyInto(line, wcslen(line), part);
}
