#include "xplat/system_error.h"

#include <windows.h>

namespace xplat {

ErrorCode LastError() { return ::GetLastError(); }

void SetLastError(ErrorCode code) { ::SetLastError(code); }

std::optional<std::wstring> SystemMessage(ErrorCode code) {
  // Some system texts hold "%1"-style inserts; with no arguments to fill them
  // the system would read them from nowhere, so they are left as they stand.
  wchar_t* text = nullptr;
  DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) return std::nullopt;
  std::wstring message(text, length);
  ::LocalFree(text);
  return message;
}

}  // namespace xplat
