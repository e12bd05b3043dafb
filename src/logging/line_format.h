#pragma once
// Building the logger's lines in fixed buffers: a line holds at most
// kMaxLineChars characters, and a longer one is cut there.

#include <cstdarg>
#include <cstddef>
#include <optional>
#include <string>

#include "xplat/system_error.h"

constexpr std::size_t kLineBufferChars = 2050;
constexpr std::size_t kMaxLineChars = 2048;

using LineBuffer = wchar_t[kLineBufferChars];

// Formats into the line, cut at kMaxLineChars; a failure leaves the line
// "Exception in " + operation and returns false.
bool FormatLine(LineBuffer& line, const wchar_t* operation, const wchar_t* format, va_list args);

// A system text without the line break that ends it ("\r\n"), when it is
// longer than two characters.
std::wstring TrimSystemText(const std::optional<std::wstring>& text);

// "GetLastError returned: <text>", at most 2047 characters. The text is
// copied, never formatted, so percent signs in it stay as they are.
std::wstring LastErrorLine(xplat::ErrorCode code, const std::optional<std::wstring>& systemText);

// Appends " (System Error (<code>): <text>)" to a formatted line, cut at the
// line's limit; the text is copied, never formatted.
void AppendSystemError(LineBuffer& line, xplat::ErrorCode code, const std::optional<std::wstring>& systemText);
