#include "xplat/format.h"

#include <algorithm>
#include <cwchar>

namespace xplat {

// msvcrt's own formatter speaks the Windows conventions natively. Its
// _vsnwprintf answers -1 both for a cut result and for a failure, so the
// length the whole result needs is learnt first.
std::optional<std::size_t> FormatWide(wchar_t* buffer, std::size_t maxChars, const wchar_t* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int needed = ::_vscwprintf(format, measure);
  va_end(measure);
  const int written = needed < 0 ? -1 : ::_vsnwprintf(buffer, maxChars, format, args);
  if (written < 0 && (needed < 0 || static_cast<std::size_t>(needed) <= maxChars)) {
    buffer[0] = L'\0';
    return std::nullopt;
  }
  const std::size_t length = written < 0 ? maxChars : std::min(static_cast<std::size_t>(written), maxChars);
  buffer[length] = L'\0';
  return length;
}

}  // namespace xplat
