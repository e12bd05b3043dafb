#include "xplat/format.h"

#include <cwchar>

namespace xplat {

// msvcrt's own formatter speaks the Windows conventions natively.
std::size_t FormatWide(wchar_t* buffer, std::size_t maxChars, const wchar_t* format, va_list args) {
  int written = ::_vsnwprintf(buffer, maxChars, format, args);
  std::size_t length = written < 0 ? maxChars : static_cast<std::size_t>(written);
  if (length > maxChars) length = maxChars;
  buffer[length] = L'\0';
  return length;
}

}  // namespace xplat
