#pragma once
// Narrow text of the calling thread's code page (UTF-8 on Linux) to wide.

#include <string>

namespace xplat {

// False when the text cannot be converted.
bool AnsiToWide(const char* text, std::size_t length, std::wstring& wide);

}  // namespace xplat
