#pragma once
// printf-style formatting of wide text with the Windows conventions on every
// platform: in a wide format "%s" and "%ws" take a wide string, "%S" and
// "%hs" a narrow one, "%I64d" a 64-bit integer.

#include <cstdarg>
#include <cstddef>
#include <optional>

namespace xplat {

// Writes at most maxChars characters and a terminating zero (the buffer holds
// maxChars + 1); a longer result is cut at maxChars. Returns the characters
// written, or nothing when the arguments cannot be formatted (a narrow string
// the locale cannot convert, for instance); the buffer then holds an empty text.
std::optional<std::size_t> FormatWide(wchar_t* buffer, std::size_t maxChars, const wchar_t* format, va_list args);

}  // namespace xplat
