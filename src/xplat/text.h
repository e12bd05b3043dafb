#pragma once
// Conversions between the module's wide strings and the byte encodings that
// cross its borders (UTF-8 for Linux system calls and consoles, UTF-16LE for
// archives and the registry). wchar_t is UTF-16 on Windows and UTF-32 on Linux.

#include <cstdint>
#include <string>
#include <string_view>

namespace xplat {

std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view text);

std::u16string ToUtf16(std::wstring_view text);
std::wstring FromUtf16(std::u16string_view text);

// Raw little-endian UTF-16 bytes, as the registry and archives store them.
std::wstring FromUtf16LeBytes(const std::uint8_t* bytes, std::size_t byteCount);
std::string ToUtf16LeBytes(std::wstring_view text);

// 16 lower-case hex digits of a 64-bit FNV-1a hash of the text's UTF-8: a
// short, stable name for a long one (not a secret: anyone can make it).
std::string NameHash(std::wstring_view text);

}  // namespace xplat
