#include "xplat/system_error.h"

#include <cerrno>
#include <cstring>

#include "xplat/text.h"

namespace xplat {

ErrorCode LastError() { return static_cast<ErrorCode>(errno); }

void SetLastError(ErrorCode code) { errno = static_cast<int>(code); }

std::optional<std::wstring> SystemMessage(ErrorCode code) {
  char buffer[512];
  // The GNU strerror_r may return a static text instead of filling the buffer.
  const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  if (text == nullptr || *text == '\0') return std::nullopt;
  return FromUtf8(text) + L"\r\n";
}

}  // namespace xplat
