#include "xplat/ansi.h"

#include <windows.h>

namespace xplat {

bool AnsiToWide(const char* text, std::size_t length, std::wstring& wide) {
  if (length == 0) {
    wide.clear();
    return true;
  }
  int needed = ::MultiByteToWideChar(CP_THREAD_ACP, 0, text, static_cast<int>(length), nullptr, 0);
  if (needed <= 0) return false;
  wide.assign(static_cast<std::size_t>(needed), L'\0');
  return ::MultiByteToWideChar(CP_THREAD_ACP, 0, text, static_cast<int>(length), wide.data(), needed) == needed;
}

}  // namespace xplat
